// KelVvmMessage: one voicemail message, as listed by the web service and as stored in the
// database (kind com.quor.vvm.kelmessages:1).
#include "KelVvmMessage.h"

#include "KelVvmConstants.h"
#include "KelVvmServiceValues.h"
#include "KelVvmUtils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

std::string readString(const JValue& object, const char* key)
{
    std::string text;
    object[key].asString(text);
    return text;
}

long long readNumber(const JValue& object, const char* key)
{
    int64_t number = 0;
    object[key].asNumber(number);
    return number;
}

// A number of a date as strptime reads it: leading white space, then at least one digit and
// at most `digits`, reading on only while ten times the value stays within `max`.
bool readField(const char*& p, int min, int max, int digits, int& value)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p < '0' || *p > '9')
        return false;
    value = 0;
    do {
        value = value * 10 + (*p++ - '0');
    } while (--digits > 0 && value * 10 <= max && *p >= '0' && *p <= '9');
    return value >= min && value <= max;
}

// The fields of "YYYY-MM-DDThh:mm:ss" at the start of `date`, when all are in place and in range.
bool fixedFields(const std::string& date, int& year, int& month, int& day, int& hour, int& minute,
                 int& second)
{
    if (date.size() < 19 || date[4] != '-' || date[7] != '-' || date[10] != 'T' ||
        date[13] != ':' || date[16] != ':')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
        if (date[i] < '0' || date[i] > '9')
            return false;
    }
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; i++)
            value = value * 10 + (date[i] - '0');
        return value;
    };
    year = number(0, 4);
    month = number(5, 2);
    day = number(8, 2);
    hour = number(11, 2);
    minute = number(14, 2);
    second = number(17, 2);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
           second <= 61;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar; a day past the end of
// its month counts on into the next one, as timegm does.
long long daysSinceEpoch(int year, int month, int day)
{
    long long y = year - (month <= 2);
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yearOfEra = y - era * 400;
    long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// What strtol reads of the first `size` characters at `text`: white space, a sign, digits.
long leadingNumber(const char* text, size_t size)
{
    const char* end = text + strnlen(text, size);
    while (text < end && (*text == ' ' || (*text >= '\t' && *text <= '\r')))
        text++;
    bool negative = text < end && *text == '-';
    text += text < end && (*text == '-' || *text == '+');
    long number = 0;
    for (; text < end && *text >= '0' && *text <= '9'; text++)
        number = number * 10 + (*text - '0');
    return negative ? -number : number;
}

} // namespace

KelVvmMessage::KelVvmMessage()
    : m_timestamp(0), m_duration(0), m_size(0), m_delivered(false), m_noMessage(true)
{
}

KelVvmMessage::KelVvmMessage(JValue& object) : KelVvmMessage()
{
    m_dbId = readString(object, "_id");
    m_kind = readString(object, "_kind");
    m_callId = readString(object, "id");
    m_caller = readString(object["from"], "addr");
    m_callStatus = readString(object, "kelStatus");
    m_format = readString(object, "kelFormat");
    m_audioPath = readString(object, "audioPath");
    m_duration = readNumber(object, "duration");
    m_size = readNumber(object, "size");
    m_timestamp = readNumber(object, "timestamp");
    object["kelDelivered"].asBool(m_delivered);
    object["kelNoMessage"].asBool(m_noMessage);
}

JValue KelVvmMessage::toJson() const
{
    JValue from = JValue::object();
    from.put("addr", m_caller);
    from.put("type", "to");

    JValue record = JValue::object();
    record.put("_kind", KelVvmServiceValues::s_voiceMessageKind);
    record.put("service", KelVvmServiceValues::s_serviceName);
    record.put("id", m_callId);
    record.put("timestamp", int64_t(m_timestamp));
    record.put("read", m_callStatus != NEW_MESSAGE);
    record.put("readMessage", false);
    record.put("from", from);
    record.put("duration", int64_t(m_duration));
    record.put("size", int64_t(m_size));
    record.put("audioPath", m_audioPath);
    record.put("kelStatus", m_callStatus);
    record.put("kelDelivered", m_delivered);
    record.put("kelFormat", m_format);
    record.put("kelNoMessage", m_noMessage);
    return record;
}

std::string KelVvmMessage::toString() const
{
    JValue record = toJson();
    return vtjsonToString(record);
}

std::string KelVvmMessage::fileExtension(const std::string& format)
{
    if (format == AMR_FORMAT)
        return ".amr";
    if (format == WAV_FORMAT)
        return ".wav";
    return ".mp3";
}

long long KelVvmMessage::msSinceEpoch(const std::string& date)
{
    // "%Y-%m-%dT%H:%M:%S" as strptime reads it, then the time as UTC. The service's own
    // texts, digits in place and numbers in range, take the short way: strptime reads them
    // the same.
    const char* p = date.c_str();
    int year, month, day, hour, minute, second;
    if (fixedFields(date, year, month, day, hour, minute, second))
        p += 19;
    else if (!readField(p, 0, 9999, 4, year) || *p++ != '-' || !readField(p, 1, 12, 2, month) ||
             *p++ != '-' || !readField(p, 1, 31, 2, day) || *p++ != 'T' ||
             !readField(p, 0, 23, 2, hour) || *p++ != ':' || !readField(p, 0, 59, 2, minute) ||
             *p++ != ':' || !readField(p, 0, 61, 2, second)) {
        return 0;
    }
    long long seconds =
        daysSinceEpoch(year, month, day) * 86400LL + hour * 3600LL + minute * 60LL + second;

    // A fraction of a second does not hide the zone that follows it.
    if (*p == '.') {
        p++;
        while (*p >= '0' && *p <= '9')
            p++;
    }
    // The zone is "+hh:mm" or "-hh:mm"; text without a colon ("Z", nothing) is UTC. The sign
    // is read from its own character so that "-00:30" lies west of UTC.
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if ((p[0] == '+' || p[0] == '-') && digit(p[1]) && digit(p[2]) && p[3] == ':' && digit(p[4]) &&
        digit(p[5])) {
        long long offset =
            ((p[1] - '0') * 10 + (p[2] - '0')) * 3600LL + ((p[4] - '0') * 10 + (p[5] - '0')) * 60LL;
        return (seconds - (p[0] == '-' ? -offset : offset)) * 1000;
    }
    const char* colon = std::strchr(p, ':');
    if (colon) {
        long hours = std::labs(leadingNumber(p, 3));
        long minutes = std::labs(leadingNumber(colon + 1, 2));
        long long offset = hours * 3600LL + minutes * 60LL;
        seconds -= *p == '-' ? -offset : offset;
    }
    return seconds * 1000;
}
