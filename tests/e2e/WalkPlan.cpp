// The steps of a random walk through the phone's life, drawn from a seed.
#include "WalkPlan.h"

namespace
{

struct Weighted {
    WalkStep step;
    const char* name;
    uint32_t weight;
};

// Ordinary use dominates; the conditions that stop the work come and go often enough that
// most walks meet each of them with messages waiting.
const Weighted kSteps[] = {
    {WalkStep::NewCall, "call", 14},
    {WalkStep::Sms, "sms", 3},
    {WalkStep::Listen, "listen", 10},
    {WalkStep::Delete, "delete", 8},
    {WalkStep::Refresh, "refresh", 4},
    {WalkStep::SimOut, "sim-out", 3},
    {WalkStep::SimIn, "sim-in", 4},
    {WalkStep::SimSwap, "sim-swap", 1},
    {WalkStep::Abroad, "abroad", 2},
    {WalkStep::Home, "home", 3},
    {WalkStep::WanDown, "wan-down", 4},
    {WalkStep::WanUp, "wan-up", 5},
    {WalkStep::SoapFault, "soap-fault", 3},
    {WalkStep::SoapDelay, "soap-delay", 3},
    {WalkStep::AudioFault, "audio-fault", 3},
    {WalkStep::Recover, "recover", 4},
    {WalkStep::Ping, "ping", 4},
    {WalkStep::Test, "test", 3},
    {WalkStep::Kill, "kill", 3},
    {WalkStep::Advance, "advance", 5},
    {WalkStep::Quiet, "quiet", 12},
    {WalkStep::Restore, "restore", 1},
};

} // namespace

const char* walkStepName(WalkStep step)
{
    for (const Weighted& entry : kSteps) {
        if (entry.step == step)
            return entry.name;
    }
    return "?";
}

WalkStep WalkPlan::next()
{
    uint32_t total = 0;
    for (const Weighted& entry : kSteps)
        total += entry.weight;
    uint32_t pick = below(total);
    for (const Weighted& entry : kSteps) {
        if (pick < entry.weight)
            return entry.step;
        pick -= entry.weight;
    }
    return WalkStep::Quiet;
}
