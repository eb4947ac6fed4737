// KelVvmMessage: one voicemail message, as listed by the web service and as stored in the
// database (kind com.quor.vvm.kelmessages:1).
#include "KelVvmMessage.h"

#include "KelVvmConstants.h"
#include "KelVvmServiceValues.h"
#include "KelVvmUtils.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

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
    struct tm fields = {};
    const char* rest = strptime(date.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    if (!rest)
        return 0;
    long long seconds = timegm(&fields);

    // A fraction of a second does not hide the zone that follows it.
    std::string zone = rest;
    if (!zone.empty() && zone[0] == '.') {
        size_t digits = zone.find_first_not_of("0123456789", 1);
        zone = digits == std::string::npos ? std::string() : zone.substr(digits);
    }
    // The zone is "+hh:mm" or "-hh:mm"; text without a colon ("Z", nothing) is UTC. The sign
    // is read from its own character so that "-00:30" lies west of UTC.
    size_t colon = zone.find(':');
    if (colon != std::string::npos) {
        long hours = std::labs(std::strtol(zone.substr(0, 3).c_str(), nullptr, 10));
        long minutes = std::labs(std::strtol(zone.substr(colon + 1, 2).c_str(), nullptr, 10));
        long long offset = hours * 3600LL + minutes * 60LL;
        seconds -= !zone.empty() && zone[0] == '-' ? -offset : offset;
    }
    return seconds * 1000;
}
