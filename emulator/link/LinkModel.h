// LinkModel: the phone's mobile link as timing: one-way delay and bandwidth in each direction,
// and lost segments, which TCP sends again, as extra delay. Shared by every relayed connection,
// as the radio link is shared by every connection of the phone.
#ifndef EMU_LINKMODEL_H
#define EMU_LINKMODEL_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace emu::link
{

using Clock = std::chrono::steady_clock;

struct LinkProfile {
    std::string name;
    double upDelayMs = 0;   // phone to carrier, one way
    double downDelayMs = 0; // carrier to phone, one way
    double upMbps = 0;      // 0: no limit
    double downMbps = 0;
    double loss = 0; // share of segments lost, each delivered one round trip late

    double roundTripMs() const { return upDelayMs + downDelayMs; }
    // The profile named `name` among namedProfiles(); false when there is none.
    static bool named(const std::string& name, LinkProfile& profile);
    static const std::vector<LinkProfile>& namedProfiles();
};

enum class Direction { Up, Down };

// What the relay did, for the figures: bytes carried each way, connections, and how late the
// relay delivered against the model (its own cost).
struct LinkStats {
    uint64_t connections = 0;
    uint64_t upBytes = 0;
    uint64_t downBytes = 0;
    uint64_t deliveries = 0;
    double maxLateMs = 0;
    double totalLateMs = 0;
};

class LinkModel
{
  public:
    explicit LinkModel(const LinkProfile& profile);

    LinkProfile profile() const;
    void setProfile(const LinkProfile& profile);

    // When `bytes` read at `now` going `direction` reach the other side: after the bytes
    // before them on the link, their own time on it and the delay.
    Clock::time_point schedule(Direction direction, size_t bytes, Clock::time_point now);
    // The earliest arrival of the first byte of a connection accepted at `now`: the handshake
    // the loopback connect skipped (SYN up, SYN-ACK down) takes a round trip before it leaves.
    Clock::time_point handshakeDone(Clock::time_point now) const;
    // When an end of stream seen at `now` reaches the other side.
    Clock::time_point closeArrives(Direction direction, Clock::time_point now) const;

    void countConnection();
    void countDelivery(double lateMs);
    LinkStats stats() const;
    void clearStats();

  private:
    mutable std::mutex m_mutex;
    LinkProfile m_profile;
    Clock::time_point m_free[2]; // when each direction's link is next idle
    std::mt19937 m_random;
    LinkStats m_stats;
};

} // namespace emu::link

#endif
