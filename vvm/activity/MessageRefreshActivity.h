// MessageRefreshActivity: a refresh of the voicemail list asked for by the phone or by a
// scheduled retry; it sends the usage report and synchronizes at most once every two minutes.
#ifndef MESSAGEREFRESHACTIVITY_H
#define MESSAGEREFRESHACTIVITY_H

#include "KelVvmActivity.h"

#include <cstdint>

class MessageRefreshActivity : public KelVvmActivity
{
  public:
    explicit MessageRefreshActivity(TSMessage* message);

    void complete(bool restart) override;
    void onWork() override;
    // A failed IMSI or WAN query counts once in the offline counter before the base step
    // raises its error.
    void onGetImsi(const JValue& reply) override;
    void onGetWanIp(const JValue& reply) override;

    // Test hook: the clock of the throttle, seconds since the epoch; the system clock when
    // null.
    static int64_t (*s_testClock)();

  private:
    void countOffline(const JValue& reply);
};

#endif
