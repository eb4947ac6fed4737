// KelVvmResponse: one parsed answer of the voicemail web service, one class per kind of answer.
#include "KelVvmResponse.h"

#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"
#include "KelVvmXml.h"

#include <algorithm>
#include <cstdint>

namespace
{

bool textIsTrue(const xmlNode* node)
{
    return asciiEquals(xmlText(node), "true");
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
const xmlNode* outOf(const xmlNode* node)
{
    const xmlNode* out = node->children;
    if (!xmlNameIs(out, "out"))
        throw KelVvmResponseException("Invalid response: out missing");
    return out;
}

// Audio details, shared by the call list and the message information answer.
void readAudioDetail(const xmlNode* child, KelVvmMessage& message)
{
    if (xmlNameIs(child, "delivery"))
        message.m_delivered = xmlText(child) == "true";
    else if (xmlNameIs(child, "dureeMsg"))
        message.m_duration = durationMs(xmlText(child));
    else if (xmlNameIs(child, "formatMsg"))
        message.m_format = xmlText(child);
    else if (xmlNameIs(child, "urlMsg"))
        message.m_audioUrl = xmlText(child);
}

KelVvmMessage readCall(const xmlNode* call)
{
    KelVvmMessage message;
    for (const xmlNode* child = call->children; child; child = child->next) {
        if (xmlNameIs(child, "dateAppel")) {
            message.m_timestamp = KelVvmMessage::msSinceEpoch(xmlText(child));
        } else if (xmlNameIs(child, "idCall")) {
            message.m_callId = xmlText(child);
        } else if (xmlNameIs(child, "msisdn")) {
            message.m_caller = xmlText(child);
            if (asciiEquals(message.m_caller, "anonymous"))
                message.m_caller = KelVvmServiceValues::s_unknownCaller;
        } else if (xmlNameIs(child, "statutAppel")) {
            message.m_callStatus = xmlText(child);
        } else if (xmlNameIs(child, "messageVocal")) {
            for (const xmlNode* detail = child->children; detail; detail = detail->next) {
                readAudioDetail(detail, message);
                if (xmlNameIs(detail, "urlMsg"))
                    message.m_noMessage = false;
            }
        }
    }
    return message;
}

} // namespace

void KelVvmResponse::parse(xmlDoc*, xmlNode*) {}

JValue KelVvmResponse::toJson()
{
    return JValue::object();
}

void KelVvmOkResponse::parse(xmlDoc*, xmlNode* node)
{
    KLOG_DEBUG("KelVvmOkResponse::parse");
    if (xmlNameIs(node->children, "out"))
        m_out = xmlText(node->children);
}

JValue KelVvmOkResponse::toJson()
{
    JValue json = JValue::object();
    json.put("type", "OK");
    json.put("out", m_out);
    return json;
}

void KelVvmGetUserProfileResponse::parse(xmlDoc*, xmlNode* node)
{
    KLOG_DEBUG("KelVvmGetUserProfileResponse::parse");
    for (const xmlNode* child = outOf(node)->children; child; child = child->next) {
        if (xmlNameIs(child, "userId"))
            m_userId = xmlText(child);
        else if (xmlNameIs(child, "vvmInscription"))
            m_vvmInscription = textIsTrue(child);
        else if (xmlNameIs(child, "inviteMessageDefaut"))
            m_inviteMessageDefaut = textIsTrue(child);
    }
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

void KelVvmGetAllMessagesResponse::parse(xmlDoc*, xmlNode* node)
{
    KLOG_DEBUG("KelVvmGetAllMessagesResponse::parse");
    for (const xmlNode* call = outOf(node)->children; call; call = call->next) {
        if (!xmlNameIs(call, "Call"))
            throw KelVvmResponseException("Invalid response: Call missing");
        m_messages.push_back(readCall(call));
    }
}

JValue KelVvmGetAllMessagesResponse::toJson()
{
    JValue json = JValue::array();
    for (const KelVvmMessage& message : m_messages)
        json.append(message.toJson());
    return json;
}

void KelVvmGetMessageInfoResponse::parse(xmlDoc*, xmlNode* node)
{
    KLOG_DEBUG("KelVvmGetMessageInfoResponse::parse");
    for (const xmlNode* child = outOf(node)->children; child; child = child->next)
        readAudioDetail(child, m_message);
}

JValue KelVvmGetMessageInfoResponse::toJson()
{
    return m_message.toJson();
}

void KelVvmFaultResponse::parse(xmlDoc*, xmlNode* node)
{
    KLOG_DEBUG("KelVvmFaultResponse::parse");
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (xmlNameIs(child, "faultcode")) {
            m_faultCode = xmlText(child);
        } else if (xmlNameIs(child, "faultstring")) {
            m_faultString = xmlText(child);
        } else if (xmlNameIs(child, "detail") && xmlNameIs(child->children, "VVMMiddleException")) {
            for (const xmlNode* item = child->children->children; item; item = item->next) {
                if (xmlNameIs(item, "status"))
                    m_detailStatus = xmlText(item);
            }
        }
    }
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
