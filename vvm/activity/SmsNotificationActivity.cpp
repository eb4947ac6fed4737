// SmsNotificationActivity: the carrier's new-voicemail SMS arrived; synchronize now, creating
// the mailbox record if there is none.
#include "SmsNotificationActivity.h"

#include "KelVvmLog.h"

SmsNotificationActivity::SmsNotificationActivity(TSMessage* message) : KelVvmActivity(message)
{
    m_activityType = 1;
    m_retryActivityName = s_smsScheduledActivity;
    m_retryInterval = "10m";
    m_canCreateMailbox = true;
    KLOG_DEBUG("New SmsNotificationActivity");
}

void SmsNotificationActivity::onWork()
{
    KLOG_DEBUG("SmsNotificationActivity::onWork");
    syncMessages();
}
