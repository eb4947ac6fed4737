// The steps of a random walk through the phone's life, drawn from a seed: the same seed draws
// the same kinds of step in the same order, whatever the timing of the run.
#ifndef KEL_E2E_WALKPLAN_H
#define KEL_E2E_WALKPLAN_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

enum class WalkStep {
    NewCall,    // a new call on the carrier, and its new-voicemail SMS
    Sms,        // an SMS alone
    Listen,     // the phone app marks a message listened to
    Delete,     // the phone app deletes a message
    Refresh,    // "refreshMessages"
    SimOut,     // the SIM is taken out
    SimIn,      // the SIM is ready again
    SimSwap,    // another SIM
    Abroad,     // a network of another country
    Home,       // the home network again
    WanDown,    // no data connection
    WanUp,      // the data connection is back
    SoapFault,  // the carrier answers the next requests with faults
    SoapDelay,  // the carrier answers the next requests late
    AudioFault, // the carrier fails or slows the next audio downloads
    Recover,    // the carrier answers normally again
    Ping,       // "ping"
    Test,       // "test" with a harmless request to the carrier
    Kill,       // kill -9 of kelvvm
    Advance,    // emulated time jumps past retry schedules
    Quiet,      // wait until nothing runs, then check the invariants
    Restore,    // every condition restored, one SMS handled, then the phone must match
};

const char* walkStepName(WalkStep step);

class WalkPlan
{
  public:
    explicit WalkPlan(unsigned seed) : m_draw(seed) {}
    // The next kind of step.
    WalkStep next();
    // A number in [0, n), for the step's own choices (n > 0).
    uint32_t below(uint32_t n) { return uint32_t(m_draw() % n); }

  private:
    // The raw generator only: its sequence is fixed by the standard, so a seed replays on any
    // library.
    std::mt19937 m_draw;
};

#endif
