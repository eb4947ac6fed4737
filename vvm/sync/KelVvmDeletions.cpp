// KelVvmDeletions: the user's deletions carried to the carrier's platform and the media folder,
// and the records that must go without reaching the carrier.
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmMediaFiles.h"
#include "KelVvmMessageRecords.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "ZephDB.h"

#include <strings.h>

#include <memory>

namespace
{
// True once the carrier holds the call no longer: it said so, or it knows no such call.
bool deletedOnCarrier(const std::string& id)
{
    std::unique_ptr<KelVvmResponse> answer = KelVvmRequest::deleteMessage(id);
    if (answer->getType() == RESPONSE_OK)
        return true;
    return answer->getType() == RESPONSE_FAULT &&
           strcasecmp(static_cast<KelVvmFaultResponse&>(*answer).m_detailStatus.c_str(),
                      "Generic_MessageNotFound") == 0;
}
} // namespace

void KelVvmActivity::forgetMessage(const JValue& record, bool removeFile)
{
    std::string audioPath = record["audioPath"].asString();
    if (removeFile)
        removeMediaFile(audioPath);
    JValue mark = JValue::object();
    mark.put("_id", record["_id"]);
    mark.put("reallyDeleted", true);
    mark.put("readMessage", false);
    mark.put("audioPath", "");
    ZephDB::merge(m_serviceHandle, nullptr, nullptr, mark);
}

bool KelVvmActivity::carryDeletions(const KelVvmMessageRecords& records,
                                    const std::function<bool(const std::string&)>& listed)
{
    for (const JValue& record : records.pending) {
        std::string id = record["id"].asString();
        // The deleted record was a second one of a call that a live record still shows: the
        // user still has that message, on the phone and so on the carrier.
        bool shown = records.shows(id);
        if (!shown && listed(id) && !deletedOnCarrier(id)) {
            // Kept pending, file and all, for the next run or synchronization: marked carried,
            // the call would stay on the carrier for good. The carrier is most likely failing
            // for the rest too, and each request costs its attempts.
            KLOG_ERROR("Deleting call %s on the carrier failed; kept for the next run", id.c_str());
            return false;
        }
        forgetMessage(record, !records.names(record["audioPath"].asString()));
    }
    return true;
}

void KelVvmActivity::removeDuplicates(const KelVvmMessageRecords& records)
{
    for (const JValue& record : records.duplicates) {
        std::string path = record["audioPath"].asString();
        KLOG_WARNING("Removing a second record of call %s", record["id"].asString().c_str());
        // Purged, not marked deleted: a deletion would be carried to the carrier, which still
        // holds the message that the first record shows.
        ZephDB::del(m_serviceHandle, nullptr, nullptr, record["_id"].asString(), true);
        if (!records.names(path))
            removeMediaFile(path);
    }
}
