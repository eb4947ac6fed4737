// DeleteMessageActivity: deletes on the carrier's platform, and on the device, every message
// the user deleted.
#include "DeleteMessageActivity.h"

#include "KelVvmLog.h"
#include "KelVvmMessageRecords.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "KelVvmUtils.h"
#include "TamoMessage.h"
#include "ZephDB.h"

namespace
{
const int kActivityErrorCode = 666;
} // namespace

DeleteMessageActivity::DeleteMessageActivity(TSMessage* message)
    : KelVvmMarksActivity(message, KelVvmBackoff::s_deleteKey)
{
    m_activityType = 4;
    KLOG_DEBUG("New DeleteMessageActivity");
}

void DeleteMessageActivity::onWork()
{
    KLOG_DEBUG("DeleteMessageActivity::onWork");
    // The live records too: a deleted record may be a second one of a call that a live record
    // still shows, whose message and file must stay.
    ZephDBQuery query = everyMessageRecord();
    ownedCall(handleMessagesToDelete, [&](TSMethodFunction function, void* context) {
        return ZephDB::find(m_serviceHandle, function, context, query, false);
    });
}

bool DeleteMessageActivity::handleMessagesToDelete(TSHandle*, TSMessage* reply, void* context)
{
    auto* activity = static_cast<DeleteMessageActivity*>(context);
    const char* text = TSMessageGetPayload(reply);
    KLOG_DEBUG("handleCurrentMessages: %s", LoggedPayload(text).c_str());
    try {
        KelVvmMessageRecords records(vtjsonParse(text)["results"]);
        if (!activity->carryDeletions(records, [](const std::string&) { return true; }))
            throw KelVvmActivityException("The carrier did not take a deletion");
    } catch (const std::exception& e) {
        activity->fail(e.what(), kActivityErrorCode);
        return true;
    }
    activity->workDone();
    return true;
}
