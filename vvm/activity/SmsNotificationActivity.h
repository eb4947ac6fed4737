// SmsNotificationActivity: the carrier's new-voicemail SMS arrived; synchronize now, creating
// the mailbox record if there is none.
#ifndef SMSNOTIFICATIONACTIVITY_H
#define SMSNOTIFICATIONACTIVITY_H

#include "KelVvmActivity.h"

class SmsNotificationActivity : public KelVvmActivity
{
  public:
    explicit SmsNotificationActivity(TSMessage* message);

    // Always synchronizes: no throttle and no usage report.
    void onWork() override;
};

#endif
