// ReadMessageActivity: archives on the carrier's platform every message the user listened to.
#include "ReadMessageActivity.h"

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

ReadMessageActivity::ReadMessageActivity(TSMessage* message)
    : KelVvmMarksActivity(message, KelVvmBackoff::s_readKey)
{
    m_activityType = 3;
    KLOG_DEBUG("New ReadMessageActivity");
}

void ReadMessageActivity::onWork()
{
    KLOG_DEBUG("ReadMessageActivity::onWork");
    ZephDBQuery query;
    query.from(KelVvmServiceValues::s_voiceMessageKind);
    query.where("readMessage", "=", JValue(true));
    ownedCall(handleReadMessages, [&](TSMethodFunction function, void* context) {
        return ZephDB::find(m_serviceHandle, function, context, query, false);
    });
}

bool ReadMessageActivity::handleReadMessages(TSHandle*, TSMessage* reply, void* context)
{
    auto* activity = static_cast<ReadMessageActivity*>(context);
    const char* text = TSMessageGetPayload(reply);
    KLOG_DEBUG("handleReadMessages: %s", LoggedPayload(text).c_str());
    try {
        JValue results = vtjsonParse(text)["results"];
        for (size_t i = 0; i < results.arraySize(); i++) {
            JValue record = results[i];
            KelVvmRequest::archiveMessage(record["id"].asString());
            JValue object = JValue::object();
            object.put("_id", record["_id"]);
            object.put("readMessage", false);
            object.put("read", true);
            JValue objects = JValue::array();
            objects.append(object);
            ZephDB::merge(activity->m_serviceHandle, nullptr, nullptr, objects);
        }
    } catch (const std::exception& e) {
        activity->fail(e.what(), kActivityErrorCode);
        return true;
    }
    activity->workDone();
    return true;
}
