// KelVvmSynchronization: the reconciliation of the message records with the server's call list,
// and the fetching of new messages into the media folder.
#include "HttpRequest.h"
#include "KelVvmActivity.h"
#include "KelVvmBackoff.h"
#include "KelVvmConstants.h"
#include "KelVvmLog.h"
#include "KelVvmMediaFiles.h"
#include "KelVvmMessage.h"
#include "KelVvmMessageRecords.h"
#include "KelVvmReplyStep.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "KelVvmStop.h"
#include "TamoMessage.h"
#include "ZephDB.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

namespace
{
const int kActivityErrorCode = 666;
// Downloads land in the partial file first and are renamed onto their final name only once
// complete (HttpRequest::downloadReplacing), so that no record ever names a partial file.
std::string partialDownloadPath()
{
    return HttpRequest::partialPath(KelVvmServiceValues::s_mediaFolder);
}

// A download cut short by the end of the process leaves its partial file behind.
void removeStalePartialDownload()
{
    const std::string path = partialDownloadPath();
    if (unlink(path.c_str()) == 0)
        KLOG_INFO("Removed the partial download %s", path.c_str());
    else if (errno != ENOENT)
        KLOG_WARNING("Cannot remove %s: %s", path.c_str(), strerror(errno));
}

bool handleCurrentMessages(TSHandle*, TSMessage* reply, void* activity)
{
    KLOG_DEBUG("KelVvmActivity::handleCurrentMessages: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    return passReply(activity, reply, &KelVvmActivity::onHandleCurrentMessages);
}

// Fetches the audio of a new message into the media folder and completes the record with it.
// False when the message must wait for the next synchronization; throws the transport's
// exception when the media folder is full.
bool fetchAudio(KelVvmActivity& activity, KelVvmMessage& message, const std::string& path)
{
    {
        std::unique_ptr<KelVvmResponse> info =
            KelVvmRequest::getMessageInfo(message.m_callId, KelVvmServiceValues::s_defaultFormat);
        if (info->getType() != RESPONSE_MESSAGE_INFO) {
            KLOG_ERROR("Problem with getMessageInfo for ID=%s", message.m_callId.c_str());
            activity.updateMailbox("error", JValue(int32_t(0)));
            return false;
        }
        // The address for the requested format replaces the one of the list.
        message.m_audioUrl = static_cast<KelVvmGetMessageInfoResponse&>(*info).m_message.m_audioUrl;
    }
    KLOG_DEBUG("Download URL: %s", message.m_audioUrl.c_str());
    KLOG_DEBUG("Download location: %s", path.c_str());
    HttpRequest request(message.m_audioUrl);
    request.m_interface = KelVvmServiceValues::s_wanIpAddress;
    try {
        request.downloadReplacing(path);
    } catch (const HttpRequestException&) {
        KLOG_ERROR("Problem with message download: oom=%d - url=%s", request.m_outOfSpace ? 1 : 0,
                   message.m_audioUrl.c_str());
        if (!request.m_outOfSpace) {
            activity.updateMailbox("error", JValue(int32_t(0)));
            return false;
        }
        activity.updateMailbox("error", JValue(int32_t(16)));
        throw;
    }
    struct stat file;
    if (request.m_contentLength > 0)
        message.m_size = request.m_contentLength;
    else if (stat(path.c_str(), &file) == 0)
        message.m_size = file.st_size;
    KLOG_DEBUG("Media size: %lld", message.m_size);
    message.m_audioPath = path;
    return true;
}

// Marks a record read; `carried` clears its pending listen too.
void markRead(KelVvmActivity& activity, const JValue& record, bool carried)
{
    JValue change = JValue::object();
    change.put("_id", record["_id"]);
    if (carried)
        change.put("readMessage", false);
    change.put("read", true);
    ZephDB::merge(activity.m_serviceHandle, nullptr, nullptr, change);
}

} // namespace

void KelVvmActivity::syncMessages()
{
    KLOG_DEBUG("KelVvmActivity::syncMessages");
    removeStalePartialDownload();
    {
        std::unique_ptr<KelVvmResponse> profile = KelVvmRequest::getUserProfile();
        if (profile->getType() == RESPONSE_USER_PROFILE) {
            auto& user = static_cast<KelVvmGetUserProfileResponse&>(*profile);
            if (!user.m_vvmInscription) {
                profile.reset();
                wipeUserAccount();
                return;
            }
            updateMailbox("defaultGreeting", JValue(user.m_inviteMessageDefaut));
        }
    }
    ZephDBQuery query = everyMessageRecord();
    ownedCall(handleCurrentMessages, [&](TSMethodFunction function, void* context) {
        return ZephDB::find(m_serviceHandle, function, context, query, false);
    });
}

void KelVvmActivity::onHandleCurrentMessages(const JValue& reply)
{
    int added = 0, removed = 0, updated = 0;
    bool marksCarried = false;
    try {
        KLOG_DEBUG("KelVvmActivity::onHandleCurrentMessages");
        bool found = false;
        if (!reply["returnValue"].asBool(found) || !found)
            throw KelVvmServiceAppException("Problem getting database records!");
        std::unique_ptr<KelVvmResponse> list = KelVvmRequest::getAllMessages();
        if (list->getType() != RESPONSE_MESSAGES)
            throw KelVvmServiceAppException("Problem getting the messages from server!");

        // Keyed by call identifier in byte order, the order in which new messages are stored;
        // of two calls with one identifier the first listed wins.
        std::map<std::string, KelVvmMessage> calls;
        for (const KelVvmMessage& message :
             static_cast<KelVvmGetAllMessagesResponse&>(*list).m_messages)
            calls.emplace(message.m_callId, message);

        KelVvmMessageRecords records(reply["results"]);
        removeDuplicates(records);
        // A call the user deleted is never stored again; a deletion nobody carried yet is
        // carried now, or left to the delete activity when the carrier does not take it.
        marksCarried = carryDeletions(
            records, [&calls](const std::string& id) { return calls.count(id) > 0; });
        for (const auto* deleted : {&records.pending, &records.carried}) {
            for (const JValue& record : *deleted) {
                if (!records.shows(record["id"].asString()))
                    calls.erase(record["id"].asString());
            }
        }

        for (const JValue& record : records.live) {
            std::string id = record["id"].asString();
            auto call = calls.find(id);
            if (call == calls.end()) {
                // The file stays: the delete activity selects records deleted this way and
                // removes their files.
                KLOG_DEBUG("Removing message: %s", id.c_str());
                ZephDB::del(m_serviceHandle, nullptr, nullptr, record["_id"].asString(), false);
                removed++;
                continue;
            }
            const std::string& status = call->second.m_callStatus;
            if (record["readMessage"].asBool()) {
                // Listened to here, and not carried yet: the synchronization carries it.
                if (status == NEW_MESSAGE)
                    KelVvmRequest::archiveMessage(id);
                markRead(*this, record, true);
                updated++;
            } else if (status == ARCHIVED_MESSAGE && !record["read"].asBool()) {
                KLOG_DEBUG("Updating message (trusted): %s", id.c_str());
                markRead(*this, record, false);
                updated++;
            } else if (status == NEW_MESSAGE && record["read"].asBool()) {
                // The user listened to it here: the server has not caught up yet.
                KLOG_DEBUG("Don't trust the server - rearchive the message: %s", id.c_str());
                KelVvmRequest::archiveMessage(id);
            }
            calls.erase(call);
        }

        const std::string extension =
            KelVvmMessage::fileExtension(KelVvmServiceValues::s_defaultFormat);
        for (auto& entry : calls) {
            // The rest waits for the retry: each would only fail at once now.
            if (KelVvmStop::requested())
                throw KelVvmServiceAppException("Stopped by a signal");
            KelVvmMessage& message = entry.second;
            // The identifier comes from the server and becomes a file name in the media folder:
            // one that is not a plain name could write anywhere.
            if (!isPlainFileName(message.m_callId) ||
                !isPlainFileName(message.m_callId + extension)) {
                KLOG_ERROR("Call identifier unfit for a file name, message skipped: %s",
                           message.m_callId.c_str());
                continue;
            }
            if (!message.m_noMessage &&
                !fetchAudio(*this, message,
                            KelVvmServiceValues::s_mediaFolder + message.m_callId + extension))
                continue;
            JValue object = message.toJson();
            ZephDB::put(m_serviceHandle, nullptr, nullptr, object);
            KelVvmRequest::deliverMessage(message.m_callId);
            added++;
        }
    } catch (const std::exception& e) {
        failAndReschedule(e.what(), kActivityErrorCode);
        return;
    }
    KLOG_INFO("handleSynchronization: %d New - %d Removed - %d Updated", added, removed, updated);
    // Every pending mark was carried above: a failed read or delete run waits no longer than
    // a minute from now on.
    if (marksCarried)
        KelVvmBackoff::resetAll();
    complete(true);
}
