// ScheduledActivity: a retry scheduled by a failed refresh or SMS notification came due;
// start a fresh activity of the kind it stands for.
#include "ScheduledActivity.h"

#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "MessageRefreshActivity.h"
#include "SmsNotificationActivity.h"

ScheduledActivity::ScheduledActivity(TSMessage* message) : KelVvmActivity(message)
{
    m_activityType = 5;
    KLOG_DEBUG("New ScheduledActivity");
}

std::string ScheduledActivity::retryName() const
{
    return m_params["$activity"]["name"].asString();
}

bool ScheduledActivity::duplicates(const KelVvmActivity& other) const
{
    auto* scheduled = dynamic_cast<const ScheduledActivity*>(&other);
    return scheduled && scheduled->retryName() == retryName();
}

void ScheduledActivity::execute()
{
    KLOG_DEBUG("ScheduledActivity::execute");
    std::string name = retryName();
    KelVvmActivity* retry = nullptr;
    if (name == s_smsScheduledActivity)
        retry = new SmsNotificationActivity(nullptr);
    else if (name == s_refreshScheduledActivity)
        retry = new MessageRefreshActivity(nullptr);
    else
        KLOG_DEBUG("ScheduledActivity::execute - No activity named %s", name.c_str());
    if (retry)
        KelVvmActivityMgr::getInstance()->queueActivity(retry);
    complete(false);
}
