// KelVvmDeletions: the user's deletions carried to the carrier's platform and the media folder,
// and the records that must go without reaching the carrier.
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmMediaFiles.h"
#include "KelVvmMessageRecords.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "ZephDB.h"

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

int KelVvmActivity::carryDeletions(const KelVvmMessageRecords& records,
                                   const std::function<bool(const std::string&)>& listed)
{
    int carried = 0;
    for (const JValue& record : records.pending) {
        std::string id = record["id"].asString();
        // The deleted record was a second one of a call that a live record still shows: the
        // user still has that message, on the phone and so on the carrier.
        bool shown = records.shows(id);
        if (!shown && listed(id)) {
            KelVvmRequest::deleteMessage(id);
            carried++;
        }
        forgetMessage(record, !records.names(record["audioPath"].asString()));
    }
    return carried;
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
