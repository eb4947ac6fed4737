// KelVvmResponse: one parsed answer of the voicemail web service, one class per kind of answer.
#include "KelVvmResponse.h"

#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"
#include "KelVvmXml.h"

#include <algorithm>
#include <cstdint>

namespace
{

// The parts of the answers; each class uses its own few.
enum Part {
    kIgnored = 0,
    kOut = KelVvmResponse::kAnswer + 1,
    kCall,
    kVoice,
    kDetail,
    kMiddleException,
    // Fields.
    kOutText,
    kUserId,
    kInscription,
    kDefaultInvite,
    kDate,
    kCallId,
    kCaller,
    kCallStatus,
    kDelivery,
    kDuration,
    kFormat,
    kAudioUrl,
    kFaultCode,
    kFaultString,
    kStatus,
};

KelVvmPart branch(int id)
{
    return KelVvmPart{id, false};
}

KelVvmPart field(int id)
{
    return KelVvmPart{id, true};
}

// Seconds in "dureeMsg" as milliseconds: leading blanks and a sign are accepted, reading stops
// at the first non-digit, and no digits gives 0. Computed in 64 bits and saturated, since the
// product overflows 32 bits from 2^31 / 1000 seconds on.
long long durationMs(const std::string& text)
{
    const long long limit = INT64_MAX / 1000;
    size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos)
        return 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    long long seconds = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
        seconds = seconds >= limit ? limit : std::min(limit, seconds * 10 + (text[i] - '0'));
    return (negative ? -seconds : seconds) * 1000;
}

// The answers holding data carry it in an "out" element, first in the answer.
KelVvmPart outOf(int parent, const KelVvmNode& node)
{
    if (parent != KelVvmResponse::kAnswer || !node.first)
        return KelVvmPart();
    if (!node.is("out"))
        throw KelVvmResponseException("Invalid response: out missing");
    return branch(kOut);
}

void requireOut(int container, bool empty)
{
    if (container == KelVvmResponse::kAnswer && empty)
        throw KelVvmResponseException("Invalid response: out missing");
}

// Audio details, shared by the call list and the message information answer.
KelVvmPart audioDetail(const KelVvmNode& node)
{
    if (node.is("delivery"))
        return field(kDelivery);
    if (node.is("dureeMsg"))
        return field(kDuration);
    if (node.is("formatMsg"))
        return field(kFormat);
    if (node.is("urlMsg"))
        return field(kAudioUrl);
    return KelVvmPart();
}

void readAudioDetail(int field, const std::string& text, KelVvmMessage& message)
{
    if (field == kDelivery)
        message.m_delivered = text == "true";
    else if (field == kDuration)
        message.m_duration = durationMs(text);
    else if (field == kFormat)
        message.m_format = text;
    else if (field == kAudioUrl)
        message.m_audioUrl = text;
}

} // namespace

KelVvmPart KelVvmResponse::onChild(int, const KelVvmNode&)
{
    return KelVvmPart();
}

void KelVvmResponse::onText(int, const std::string&) {}

void KelVvmResponse::onEnd(int, bool) {}

JValue KelVvmResponse::toJson()
{
    return JValue::object();
}

KelVvmPart KelVvmOkResponse::onChild(int container, const KelVvmNode& node)
{
    return container == kAnswer && node.first && node.is("out") ? field(kOutText) : KelVvmPart();
}

void KelVvmOkResponse::onText(int, const std::string& text)
{
    m_out = text;
}

JValue KelVvmOkResponse::toJson()
{
    JValue json = JValue::object();
    json.put("type", "OK");
    json.put("out", m_out);
    return json;
}

KelVvmPart KelVvmGetUserProfileResponse::onChild(int container, const KelVvmNode& node)
{
    if (container != kOut)
        return outOf(container, node);
    if (node.is("userId"))
        return field(kUserId);
    if (node.is("vvmInscription"))
        return field(kInscription);
    if (node.is("inviteMessageDefaut"))
        return field(kDefaultInvite);
    return KelVvmPart();
}

void KelVvmGetUserProfileResponse::onText(int field, const std::string& text)
{
    if (field == kUserId)
        m_userId = text;
    else if (field == kInscription)
        m_vvmInscription = asciiEquals(text, "true");
    else if (field == kDefaultInvite)
        m_inviteMessageDefaut = asciiEquals(text, "true");
}

void KelVvmGetUserProfileResponse::onEnd(int container, bool empty)
{
    requireOut(container, empty);
}

JValue KelVvmGetUserProfileResponse::toJson()
{
    JValue json = JValue::object();
    json.put("type", "UserProfile");
    json.put("id", m_userId);
    json.put("vvmInscription", m_vvmInscription);
    json.put("defaultInvite", m_inviteMessageDefaut);
    return json;
}

KelVvmPart KelVvmGetAllMessagesResponse::onChild(int container, const KelVvmNode& node)
{
    switch (container) {
    case kOut:
        if (!node.is("Call"))
            throw KelVvmResponseException("Invalid response: Call missing");
        if (m_messages.size() == s_maxCalls)
            throw KelVvmResponseException("Invalid response: too many calls");
        m_messages.emplace_back();
        return branch(kCall);
    case kCall:
        if (node.is("dateAppel"))
            return field(kDate);
        if (node.is("idCall"))
            return field(kCallId);
        if (node.is("msisdn"))
            return field(kCaller);
        if (node.is("statutAppel"))
            return field(kCallStatus);
        if (node.is("messageVocal"))
            return branch(kVoice);
        return KelVvmPart();
    case kVoice:
        return audioDetail(node);
    default:
        return outOf(container, node);
    }
}

void KelVvmGetAllMessagesResponse::onText(int field, const std::string& text)
{
    KelVvmMessage& message = m_messages.back();
    switch (field) {
    case kDate:
        message.m_timestamp = KelVvmMessage::msSinceEpoch(text);
        break;
    case kCallId:
        message.m_callId = text;
        break;
    case kCaller:
        message.m_caller =
            asciiEquals(text, "anonymous") ? KelVvmServiceValues::s_unknownCaller : text;
        break;
    case kCallStatus:
        message.m_callStatus = text;
        break;
    case kAudioUrl:
        message.m_noMessage = false;
        readAudioDetail(field, text, message);
        break;
    default:
        readAudioDetail(field, text, message);
    }
}

void KelVvmGetAllMessagesResponse::onEnd(int container, bool empty)
{
    requireOut(container, empty);
}

JValue KelVvmGetAllMessagesResponse::toJson()
{
    JValue json = JValue::array();
    for (const KelVvmMessage& message : m_messages)
        json.append(message.toJson());
    return json;
}

KelVvmPart KelVvmGetMessageInfoResponse::onChild(int container, const KelVvmNode& node)
{
    return container == kOut ? audioDetail(node) : outOf(container, node);
}

void KelVvmGetMessageInfoResponse::onText(int field, const std::string& text)
{
    readAudioDetail(field, text, m_message);
}

void KelVvmGetMessageInfoResponse::onEnd(int container, bool empty)
{
    requireOut(container, empty);
}

JValue KelVvmGetMessageInfoResponse::toJson()
{
    return m_message.toJson();
}

KelVvmPart KelVvmFaultResponse::onChild(int container, const KelVvmNode& node)
{
    switch (container) {
    case kAnswer:
        if (node.is("faultcode"))
            return field(kFaultCode);
        if (node.is("faultstring"))
            return field(kFaultString);
        if (node.is("detail"))
            return branch(kDetail);
        return KelVvmPart();
    case kDetail:
        // Only a detail that opens with the middleware's exception is read.
        return node.first && node.is("VVMMiddleException") ? branch(kMiddleException)
                                                           : KelVvmPart();
    default:
        return node.is("status") ? field(kStatus) : KelVvmPart();
    }
}

void KelVvmFaultResponse::onText(int field, const std::string& text)
{
    if (field == kFaultCode)
        m_faultCode = text;
    else if (field == kFaultString)
        m_faultString = text;
    else
        m_detailStatus = text;
}

JValue KelVvmFaultResponse::toJson()
{
    JValue json = JValue::object();
    json.put("type", "Fault");
    json.put("faultcode", m_faultCode);
    json.put("faultstring", m_faultString);
    json.put("detail", m_detailStatus);
    return json;
}

JValue KelVvmBadResponse::toJson()
{
    JValue json = JValue::object();
    json.put("type", "BAD");
    return json;
}
