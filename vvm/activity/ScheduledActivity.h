// ScheduledActivity: a retry scheduled by a failed refresh or SMS notification came due;
// start a fresh activity of the kind it stands for.
#ifndef SCHEDULEDACTIVITY_H
#define SCHEDULEDACTIVITY_H

#include "KelVvmActivity.h"

class ScheduledActivity : public KelVvmActivity
{
  public:
    explicit ScheduledActivity(TSMessage* message);

    // Replaces the work chain: queues at most one new activity, then completes.
    void execute() override;
    // Only a retry of the same name: an SMS retry and a refresh retry due together each run,
    // since only the first may create the mailbox.
    bool duplicates(const KelVvmActivity& other) const override;

  private:
    std::string retryName() const;
};

#endif
