// KelVvmMarksActivity: the base of the activities that carry the user's marks (listened,
// deleted) to the carrier's platform.
#include "KelVvmMarksActivity.h"

#include "KelVvmLog.h"

KelVvmMarksActivity::KelVvmMarksActivity(TSMessage* message, const char* backoffKey)
    : KelVvmActivity(message), m_backoff(backoffKey)
{
}

void KelVvmMarksActivity::fail(const std::string& errorText, int errorCode)
{
    if (m_activityId == 0) {
        KelVvmActivity::fail(errorText, errorCode);
        return;
    }
    std::string delay = m_backoff.failed();
    KLOG_WARNING("Activity %lld failed (%s): next run in %s at the earliest",
                 (long long)m_activityId, errorText.c_str(), delay.c_str());
    JValue payload = JValue::object();
    payload.put("activityId", m_activityId);
    payload.put("restart", true);
    payload.put("delay", delay);
    sendCompletion(payload);
}

void KelVvmMarksActivity::workDone()
{
    m_backoff.reset();
    complete(true);
}
