// KelVvmErasure: the local erasure of an account that is no longer valid: the mailbox record,
// the message records and their audio files.
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmMediaFiles.h"
#include "KelVvmMessageRecords.h"
#include "KelVvmReplyStep.h"
#include "KelVvmServiceValues.h"
#include "ZephDB.h"

namespace
{

const int kActivityErrorCode = 666;

bool handleGetMessagesToDelete(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("KelVvmActivity::handleGetMessagesToDelete: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onGetMessagesToDelete);
}

ZephDBQuery kindQuery(const std::string& kind)
{
    ZephDBQuery query;
    query.from(kind);
    return query;
}

} // namespace

void KelVvmActivity::wipeUserAccount()
{
    KLOG_DEBUG("KelVvmActivity::wipeUserAccount");
    // The mailbox record goes last and is marked meanwhile: an erasure cut short by a kill
    // (files gone, records kept) is found and done again by the next run, whatever the SIM
    // and the network say then.
    updateMailbox(s_erasingKey, JValue(true));
    // The deleted records too: a deletion not carried yet would keep its file (the previous
    // subscriber's voicemail) and keep the delete activity's trigger armed.
    ZephDBQuery messages = everyMessageRecord();
    ownedCall(handleGetMessagesToDelete, [&](TSMethodFunction function, void* context) {
        return ZephDB::find(m_serviceHandle, function, context, messages, false);
    });
}

// Whatever it throws reaches ownedCall, which ends the activity with failAndReschedule.
void KelVvmActivity::onGetMessagesToDelete(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onGetMessagesToDelete");
    KelVvmMessageRecords records(reply["results"]);
    // Every record goes, deleted ones included, and every file they name: the erasure stays
    // local, and nothing of the previous subscriber's voicemail is kept or carried later.
    // Purged, since a record kept as deleted would stop the same call from being stored again
    // should this account come back.
    for (const auto* group : {&records.live, &records.duplicates, &records.pending}) {
        for (const JValue& record : *group)
            removeMediaFile(record["audioPath"].asString());
    }
    // And those no record names: a kill between a download's rename and its record's write
    // leaves one, which only the next synchronization of the same account would claim.
    removeEveryAudioFile();
    if (reply["results"].arraySize() > 0) {
        ZephDBQuery messages = everyMessageRecord();
        ZephDB::del(m_serviceHandle, nullptr, nullptr, messages, true);
    }
    ZephDBQuery mailboxes = kindQuery(KelVvmServiceValues::s_mailboxKind);
    ZephDB::del(m_serviceHandle, nullptr, nullptr, mailboxes, false);
    if (!m_wipingAccount) {
        fail("User account erased", kActivityErrorCode);
        return;
    }
    m_wipingAccount = false;
    onAdopted();
}
