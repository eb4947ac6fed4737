// KelVvmMessage: one voicemail message, as listed by the web service and as stored in the
// database (kind com.quor.vvm.kelmessages:1).
#ifndef KELVVMMESSAGE_H
#define KELVVMMESSAGE_H

#include "vtjson.h"

#include <string>

class KelVvmMessage
{
  public:
    KelVvmMessage();
    // Reads a stored record: absent or mistyped strings stay empty, numbers 0, and the two
    // flags keep their defaults.
    explicit KelVvmMessage(JValue& object);

    // The database record; "_id" is the database's to assign and the audio URL is not kept.
    JValue toJson() const;
    std::string toString() const;

    // Records are the same message when their call identifiers are.
    bool operator==(const KelVvmMessage& other) const { return m_callId == other.m_callId; }
    bool operator!=(const KelVvmMessage& other) const { return !(*this == other); }

    // ".amr", ".wav", or ".mp3" for every other format text; exact comparison.
    static std::string fileExtension(const std::string& format);
    // Milliseconds since the epoch of an XML-Schema date-time such as 2010-06-21T14:05:09+02:00;
    // 0 for a text that is not one.
    static long long msSinceEpoch(const std::string& date);

    std::string m_dbId;
    std::string m_kind;
    std::string m_callId;
    std::string m_caller;
    std::string m_callStatus;
    std::string m_format;
    std::string m_audioUrl;
    std::string m_audioPath;
    long long m_timestamp;
    long long m_duration;
    long long m_size;
    bool m_delivered;
    bool m_noMessage;
};

#endif
