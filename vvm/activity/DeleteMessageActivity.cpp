// DeleteMessageActivity: deletes on the carrier's platform, and on the device, every message
// the user deleted.
#include "DeleteMessageActivity.h"

#include "KelVvmLog.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "KelVvmUtils.h"
#include "TamoMessage.h"
#include "ZephDB.h"

namespace
{
const int kActivityErrorCode = 666;
} // namespace

DeleteMessageActivity::DeleteMessageActivity(TSMessage* message) : KelVvmActivity(message)
{
    m_activityType = 4;
    KLOG_DEBUG("New DeleteMessageActivity");
}

void DeleteMessageActivity::onWork()
{
    KLOG_DEBUG("DeleteMessageActivity::onWork");
    ZephDBQuery query;
    query.from(KelVvmServiceValues::s_voiceMessageKind);
    query.where("_del", "=", JValue(true));
    query.where("reallyDeleted", "=", JValue());
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
        JValue results = vtjsonParse(text)["results"];
        for (size_t i = 0; i < results.arraySize(); i++) {
            JValue record = results[i];
            KelVvmRequest::deleteMessage(record["id"].asString());
            activity->forgetMessage(record);
        }
    } catch (const std::exception& e) {
        activity->fail(e.what(), kActivityErrorCode);
        return true;
    }
    activity->complete(true);
    return true;
}
