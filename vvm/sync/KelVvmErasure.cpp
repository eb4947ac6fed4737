// KelVvmErasure: the local erasure of an account that is no longer valid: the mailbox record,
// the message records and their audio files.
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmMediaFiles.h"
#include "KelVvmReplyStep.h"
#include "KelVvmServiceValues.h"
#include "ZephDB.h"

#include <cstdio>

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

// Only a file directly inside the media folder: a record names its file, and anything able to
// write the database must not be able to make the service remove other files.
void removeAudioFile(const std::string& path)
{
    if (!isFileInFolder(path, KelVvmServiceValues::s_mediaFolder)) {
        KLOG_WARNING("Not removing %s: not a file of the media folder", path.c_str());
        return;
    }
    // A file that is gone already, or cannot be removed, changes nothing here.
    std::remove(path.c_str());
}

} // namespace

void KelVvmActivity::forgetMessage(const JValue& record)
{
    std::string audioPath = record["audioPath"].asString();
    if (!audioPath.empty())
        removeAudioFile(audioPath);
    JValue mark = JValue::object();
    mark.put("_id", record["_id"]);
    mark.put("reallyDeleted", true);
    mark.put("readMessage", false);
    mark.put("audioPath", "");
    ZephDB::merge(m_serviceHandle, nullptr, nullptr, mark);
}

void KelVvmActivity::wipeUserAccount()
{
    KLOG_DEBUG("KelVvmActivity::wipeUserAccount");
    ZephDBQuery mailboxes = kindQuery(KelVvmServiceValues::s_mailboxKind);
    ZephDB::del(m_serviceHandle, nullptr, nullptr, mailboxes, false);
    ZephDBQuery messages = kindQuery(KelVvmServiceValues::s_voiceMessageKind);
    ownedCall(handleGetMessagesToDelete, [&](TSMethodFunction function, void* context) {
        return ZephDB::find(m_serviceHandle, function, context, messages, false);
    });
}

// Whatever it throws reaches ownedCall, which ends the activity with failAndReschedule.
void KelVvmActivity::onGetMessagesToDelete(const JValue& reply)
{
    KLOG_DEBUG("KelVvmActivity::onGetMessagesToDelete");
    JValue results = reply["results"];
    size_t count = results.arraySize();
    for (size_t i = 0; i < count; i++) {
        // Marked "reallyDeleted", the records are not what the delete activity reports to the
        // server: the erasure stays local.
        forgetMessage(results[i]);
    }
    if (count > 0) {
        ZephDBQuery messages = kindQuery(KelVvmServiceValues::s_voiceMessageKind);
        ZephDB::del(m_serviceHandle, nullptr, nullptr, messages, false);
    }
    if (!m_wipingAccount) {
        fail("User account erased", kActivityErrorCode);
        return;
    }
    m_wipingAccount = false;
    onAdopted();
}
