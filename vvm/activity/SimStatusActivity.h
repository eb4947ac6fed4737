// SimStatusActivity: keeps the voicemail account in step with the SIM card, re-armed by the
// platform activity manager at every change of SIM state.
#ifndef SIMSTATUSACTIVITY_H
#define SIMSTATUSACTIVITY_H

#include "KelVvmActivity.h"

#include <string>

class SimStatusActivity : public KelVvmActivity
{
  public:
    explicit SimStatusActivity(TSMessage* message);

    // Always completes with the platform activity manager, with a trigger that fires at the
    // next SIM state different from the one handled here.
    void complete(bool restart) override;
    // Reads the SIM state; only a ready SIM's account check is queued, anything else completes
    // at once.
    void onAdopted() override;
    // The account check stops once the SIM matches the account.
    void getSimMccMnc() override;

    // The SIM state read from the trigger; empty when there was none.
    std::string m_simState;
};

#endif
