// KelVvmMailbox: the mailbox check that opens every activity's work, and the mailbox record.
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmReplyStep.h"
#include "KelVvmServiceValues.h"
#include "TamoMessage.h"
#include "ZephDB.h"

namespace
{

bool handleGetMailbox(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("KelVvmActivity::handleMailboxCheck: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onGetMailbox);
}

bool handleCreateMailbox(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("KelVvmActivity::handleMailboxUdpate: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onCreateMailbox);
}

// The merges are fire and forget: their reply is only logged, and there is no context.
bool handleMailboxUpdate(TSHandle*, TSMessage* reply, void*)
{
    KLOG_DEBUG("KelVvmActivity::handleMailboxUdpate: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return true;
}

ZephDBQuery mailboxQuery()
{
    ZephDBQuery query;
    query.from(KelVvmServiceValues::s_mailboxKind);
    return query;
}

// By kind, not by id: there is one mailbox record.
void mergeIntoMailbox(TSHandle* handle, JValue& props)
{
    ZephDBQuery query = mailboxQuery();
    ZephDB::merge(handle, handleMailboxUpdate, nullptr, query, props);
}

} // namespace

void KelVvmActivity::getMailbox()
{
    KLOG_DEBUG("KelVvmActivity::getMailbox");
    ZephDBQuery query = mailboxQuery();
    ownedCall(handleGetMailbox, [&](TSMethodFunction function, void* context) {
        return ZephDB::find(m_serviceHandle, function, context, query, false);
    });
}

void KelVvmActivity::onGetMailbox(const JValue& reply)
{
    if (!reply["returnValue"].asBool())
        throw KelVvmActivityException("Unexpected Query failure");
    JValue results = reply["results"];
    size_t count = results.arraySize();
    if (count == 0) {
        if (m_canCreateMailbox) {
            m_mailboxCreated = true;
            // The new record holds no IMSI, and neither may its copy: one left from an account
            // erased for another SIM would make the IMSI step erase the new record and start
            // over, for ever.
            KelVvmServiceValues::s_imsi.clear();
            createMailbox();
        } else {
            // No record, no account: stale message records and audio files go.
            wipeUserAccount();
        }
        return;
    }
    // Several records, or an erasure that a kill cut short: erase, then start over.
    if (count > 1 || results[0][s_erasingKey].asBool()) {
        m_wipingAccount = true;
        wipeUserAccount();
        return;
    }
    JValue mailbox = results[0];
    int64_t number = 0;
    KelVvmServiceValues::s_lastSyncTime = mailbox["lastSyncTime"].asNumber(number) ? number : 0;
    number = 0;
    KelVvmServiceValues::s_offlineCounter = mailbox["offlineCounter"].asNumber(number) ? number : 0;
    KelVvmServiceValues::s_userAgent = mailbox["userAgent"].asString();
    KelVvmServiceValues::s_deviceUid = mailbox["deviceUid"].asString();
    KelVvmServiceValues::s_accountStatus = mailbox["status"].asString();
    KelVvmServiceValues::s_imsi = mailbox["imsi"].asString();
    getImsi();
}

JValue KelVvmActivity::newMailboxRecord(const char* status)
{
    JValue mailbox = JValue::object();
    mailbox.put("_kind", KelVvmServiceValues::s_mailboxKind);
    mailbox.put("refreshStatus", false);
    mailbox.put("refreshMessages", false);
    mailbox.put("service", KelVvmServiceValues::s_serviceName);
    mailbox.put("voicemailNumber", "123");
    mailbox.put("numMessages", int32_t(0));
    mailbox.put("status", status);
    mailbox.put("userAgent", "");
    mailbox.put("serialNumber", "");
    return mailbox;
}

void KelVvmActivity::createMailbox()
{
    KLOG_INFO("KelVvmActivity::createMailbox");
    JValue mailbox = newMailboxRecord("none");
    mailbox.put("deviceUid", "");
    mailbox.put("imsi", "");
    ownedCall(handleCreateMailbox, [&](TSMethodFunction function, void* context) {
        return ZephDB::put(m_serviceHandle, function, context, mailbox);
    });
}

void KelVvmActivity::onCreateMailbox(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onCreateMailbox");
    if (!reply["returnValue"].asBool())
        throw KelVvmActivityException("Unexpected Mailbox Creation failure");
    getImsi();
}

void KelVvmActivity::updateMailbox(const std::string& key, const JValue& value)
{
    KLOG_DEBUG("KelVvmActivity::updateMailbox");
    JValue props = JValue::object();
    props.put(key, value);
    mergeIntoMailbox(m_serviceHandle, props);
}

void KelVvmActivity::updateMailbox(JValue& props)
{
    KLOG_DEBUG("KelVvmActivity::updateMailbox");
    mergeIntoMailbox(m_serviceHandle, props);
}
