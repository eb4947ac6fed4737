// KelVvmIdentity: the identity chain after the mailbox check: the SIM, the network, and the
// device id, user agent and WAN address under which the service talks to the carrier.
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmReplyStep.h"
#include "KelVvmServiceValues.h"
#include "KelVvmUtils.h"

#include <cstdlib>

namespace
{

const char* const kImsiQuery = "quor://com.quor.telephony/imsiQuery";
const char* const kPlatformQuery = "quor://com.quor.telephony/platformQuery";
const char* const kSystemPropertyGet = "quor://com.quor.preferences/systemProperties/Get";
const char* const kGetPreferences = "quor://com.quor.systemservice/getPreferences";
const char* const kConnectionStatus = "quor://com.quor.connectionmanager/getStatus";
const char* const kDeviceUidProperty = "com.quor.properties.nduid";
const char* const kUserAgentPreference = "uaString";

// {"returnValue": true, key: value} when `found`, else {"returnValue": false}.
JValue uniformReply(bool found, const char* key, const JValue& value)
{
    JValue uniform = JValue::object();
    uniform.put("returnValue", found);
    if (found)
        uniform.put(key, value);
    return uniform;
}

JValue translateImsi(const JValue& reply)
{
    return uniformReply(reply.hasKey("extended") && reply["extended"].hasKey("value"), "imsi",
                        reply["extended"]["value"]);
}

JValue translateDeviceUid(const JValue& reply)
{
    return uniformReply(reply.hasKey(kDeviceUidProperty), "deviceUid", reply[kDeviceUidProperty]);
}

JValue translateUserAgent(const JValue& reply)
{
    return uniformReply(reply.hasKey(kUserAgentPreference), "userAgent",
                        reply[kUserAgentPreference]);
}

// Only the exact state "disconnected" means no connection; a missing state does not.
JValue translateWanIp(const JValue& reply)
{
    return uniformReply(reply["wan"]["state"].asString() != "disconnected", "ipAddress",
                        reply["wan"]["ipAddress"]);
}

bool handleGetImsi(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("handleGetImsi: %s", LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onGetImsi, translateImsi);
}

bool handleGetSimMccMnc(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("KelVvmActivity::handleGetSimMccMnc: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onGetSimMccMnc);
}

bool handleGetDeviceUid(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("KelVvmActivity::handleDeviceUid: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onGetDeviceUid, translateDeviceUid);
}

bool handleGetUserAgent(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("KelVvmActivity::handleUserAgent: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onGetUserAgent, translateUserAgent);
}

bool handleGetWanIp(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("handleGetWanIp: %s", LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onGetWanIp, translateWanIp);
}

// A network code as the platform gives it: decimal text; anything else reads as 0.
long networkCode(const JValue& value)
{
    return std::strtol(value.asString().c_str(), nullptr, 10);
}

bool acceptedNetwork(long mcc, long mnc)
{
    return (mcc == 208 && (mnc == 10 || mnc == 11 || mnc == 13)) || (mcc == 0 && mnc == 0);
}

} // namespace

void KelVvmActivity::getImsi()
{
    KLOG_DEBUG("KelVvmActivity::getImsi");
    ownedRequest(kImsiQuery, "{}", handleGetImsi);
}

void KelVvmActivity::onGetImsi(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onGetImsi");
    if (!reply["returnValue"].asBool())
        throw KelVvmActivityException("Unexpected IMSI Query failure");
    std::string imsi = reply["imsi"].asString();
    KLOG_DEBUG("IMSI: %s", imsi.c_str());
    if (KelVvmServiceValues::s_imsi.empty()) {
        KelVvmServiceValues::s_imsi = imsi;
        updateMailbox("imsi", KelVvmServiceValues::s_imsi);
    }
    if (KelVvmServiceValues::s_imsi == imsi) {
        getSimMccMnc();
    } else {
        // Another SIM than the account's: erase, then start over.
        m_wipingAccount = true;
        wipeUserAccount();
    }
}

void KelVvmActivity::getSimMccMnc()
{
    KLOG_DEBUG("KelVvmActivity::getSimMccMnc");
    ownedRequest(kPlatformQuery, "{}", handleGetSimMccMnc);
}

void KelVvmActivity::onGetSimMccMnc(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onGetSimMccMnc");
    if (!reply["returnValue"].asBool())
        throw KelVvmActivityException("Unexpected MCC/MNC Query failure");
    long mcc = networkCode(reply["extended"]["mcc"]);
    long mnc = networkCode(reply["extended"]["mnc"]);
    KLOG_DEBUG("mcc/mnc: %ld/%ld", mcc, mnc);
    if (acceptedNetwork(mcc, mnc))
        getDeviceUid();
    else
        wipeUserAccount();
}

void KelVvmActivity::getDeviceUid()
{
    KLOG_DEBUG("KelVvmActivity::getDeviceUid");
    if (!KelVvmServiceValues::s_deviceUid.empty()) {
        onGetDeviceUid(uniformReply(true, "deviceUid", KelVvmServiceValues::s_deviceUid));
        return;
    }
    JValue payload = JValue::object();
    payload.put("key", kDeviceUidProperty);
    ownedRequest(kSystemPropertyGet, vtjsonToString(payload), handleGetDeviceUid);
}

void KelVvmActivity::onGetDeviceUid(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onGetDeviceUid");
    if (!reply["returnValue"].asBool())
        throw KelVvmActivityException("Unexpected Query failure");
    KelVvmServiceValues::s_deviceUid = reply["deviceUid"].asString();
    KLOG_DEBUG("deviceUid: %s", KelVvmServiceValues::s_deviceUid.c_str());
    updateMailbox("deviceUid", KelVvmServiceValues::s_deviceUid);
    getUserAgent();
}

void KelVvmActivity::getUserAgent()
{
    KLOG_DEBUG("KelVvmActivity::getUserAgent");
    if (!KelVvmServiceValues::s_userAgent.empty()) {
        onGetUserAgent(uniformReply(true, "userAgent", KelVvmServiceValues::s_userAgent));
        return;
    }
    JValue keys = JValue::array();
    keys.append(kUserAgentPreference);
    JValue payload = JValue::object();
    payload.put("keys", keys);
    ownedRequest(kGetPreferences, vtjsonToString(payload), handleGetUserAgent);
}

void KelVvmActivity::onGetUserAgent(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onGetUserAgent");
    if (!reply["returnValue"].asBool())
        throw KelVvmActivityException("Unexpected Query failure");
    KelVvmServiceValues::s_userAgent = reply["userAgent"].asString();
    KLOG_DEBUG("User Agent: %s", KelVvmServiceValues::s_userAgent.c_str());
    updateMailbox("userAgent", KelVvmServiceValues::s_userAgent);
    getWanIp();
}

void KelVvmActivity::getWanIp()
{
    KLOG_DEBUG("KelVvmActivity::getWanIp");
    if (!KelVvmServiceValues::s_wanIpAddress.empty()) {
        onGetWanIp(uniformReply(true, "ipAddress", KelVvmServiceValues::s_wanIpAddress));
        return;
    }
    ownedRequest(kConnectionStatus, "{}", handleGetWanIp);
}

void KelVvmActivity::onGetWanIp(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onGetWanIp");
    if (!reply["returnValue"].asBool())
        throw KelVvmActivityException("No WAN IP available");
    KelVvmServiceValues::s_wanIpAddress = reply["ipAddress"].asString();
    KLOG_DEBUG("WAN IP: %s", KelVvmServiceValues::s_wanIpAddress.c_str());
    if (m_mailboxCreated)
        verifySubscription();
    else
        onWork();
}
