// KelVvmMarksActivity: the base of the activities that carry the user's marks (listened,
// deleted) to the carrier's platform.
#ifndef KELVVMMARKSACTIVITY_H
#define KELVVMMARKSACTIVITY_H

#include "KelVvmActivity.h"
#include "KelVvmBackoff.h"

// Their platform activities fire for as long as a mark is pending. A run that fails while a
// condition lasts (no SIM, abroad, no WAN) therefore asks the activity manager to wait before the
// next call, a wait that grows with each failure and starts over after a success.
class KelVvmMarksActivity : public KelVvmActivity
{
  public:
    // `backoffKey` names this kind's wait (KelVvmBackoff).
    KelVvmMarksActivity(TSMessage* message, const char* backoffKey);

    // Adopted: completes with restart and the wait; otherwise as any activity.
    void fail(const std::string& errorText, int errorCode) override;

  protected:
    // Every pending mark was carried: the wait starts over, and the activity completes.
    void workDone();

  private:
    KelVvmBackoff m_backoff;
};

#endif
