// SimStatusActivity: keeps the voicemail account in step with the SIM card, re-armed by the
// platform activity manager at every change of SIM state.
#include "SimStatusActivity.h"

#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmUtils.h"

namespace
{
const int kActivityErrorCode = 666;
const char* const kSimStatusQuery = "quor://com.quor.telephony/simStatusQuery";
const char* const kSimReady = "simready";
} // namespace

SimStatusActivity::SimStatusActivity(TSMessage* message) : KelVvmActivity(message)
{
    m_activityType = 7;
    KLOG_DEBUG("New SimStatusActivity");
}

void SimStatusActivity::onAdopted()
{
    KLOG_DEBUG("SimStatusActivity::onAdopted");
    try {
        m_simState.clear();
        m_params["$activity"]["trigger"]["extended"]["state"].asString(m_simState);
    } catch (const std::exception& e) {
        m_simState.clear();
        fail(e.what(), kActivityErrorCode);
        return;
    }
    // The account check may erase the account: beside another activity's chain it could take
    // the mailbox record that one has just created for a missing one. It waits its turn.
    if (m_simState == kSimReady)
        KelVvmActivityMgr::getInstance()->queueActivity(this);
    else
        complete(true);
}

void SimStatusActivity::getSimMccMnc()
{
    complete(true);
}

void SimStatusActivity::complete(bool restart)
{
    KLOG_DEBUG("SimStatusActivity::complete");
    JValue prop = JValue::array();
    prop.append("extended");
    prop.append("state");
    JValue where = JValue::object();
    where.put("prop", prop);
    where.put("op", "!=");
    where.put("val", m_simState);
    JValue params = JValue::object();
    params.put("subscribe", true);
    JValue trigger = JValue::object();
    trigger.put("method", kSimStatusQuery);
    trigger.put("params", params);
    trigger.put("where", where);
    JValue payload = JValue::object();
    payload.put("activityId", m_activityId);
    payload.put("restart", restart);
    payload.put("trigger", trigger);
    sendCompletion(payload);
}
