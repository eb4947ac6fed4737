// LinkModel: the phone's mobile link as timing.
#include "LinkModel.h"

namespace emu::link
{

namespace
{

Clock::duration milliseconds(double ms)
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

} // namespace

const std::vector<LinkProfile>& LinkProfile::namedProfiles()
{
    // Typical figures of each kind of link as operators' and measurement firms' published
    // surveys report them for a phone in good coverage (docs/emulator.md gives the reasoning);
    // the delays are half the round trip each way.
    static const std::vector<LinkProfile> profiles = {
        {"lan", 0.5, 0.5, 100, 100, 0},
        {"4g", 25, 25, 5, 20, 0},
        {"3g", 75, 75, 0.5, 2, 0},
        {"edge", 200, 200, 0.1, 0.2, 0},
    };
    return profiles;
}

bool LinkProfile::named(const std::string& name, LinkProfile& profile)
{
    for (const LinkProfile& candidate : namedProfiles()) {
        if (candidate.name == name) {
            profile = candidate;
            return true;
        }
    }
    return false;
}

LinkModel::LinkModel(const LinkProfile& profile) : m_profile(profile), m_random(21) {}

LinkProfile LinkModel::profile() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_profile;
}

void LinkModel::setProfile(const LinkProfile& profile)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_profile = profile;
}

Clock::time_point LinkModel::schedule(Direction direction, size_t bytes, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool up = direction == Direction::Up;
    double mbps = up ? m_profile.upMbps : m_profile.downMbps;
    Clock::time_point& free = m_free[up ? 0 : 1];
    Clock::time_point start = std::max(now, free);
    free = start + (mbps > 0 ? milliseconds(double(bytes) * 8 / (mbps * 1000)) : Clock::duration());
    Clock::time_point arrival =
        free + milliseconds(up ? m_profile.upDelayMs : m_profile.downDelayMs);
    // A lost segment is noticed by the duplicate acknowledgements of the next ones and sent
    // again: about one round trip late (fast retransmit), never a failure.
    if (m_profile.loss > 0 &&
        std::uniform_real_distribution<double>(0, 1)(m_random) < m_profile.loss)
        arrival += milliseconds(m_profile.roundTripMs());
    (up ? m_stats.upBytes : m_stats.downBytes) += bytes;
    return arrival;
}

Clock::time_point LinkModel::handshakeDone(Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return now + milliseconds(m_profile.roundTripMs() + m_profile.upDelayMs);
}

Clock::time_point LinkModel::closeArrives(Direction direction, Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return now +
           milliseconds(direction == Direction::Up ? m_profile.upDelayMs : m_profile.downDelayMs);
}

void LinkModel::countConnection()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stats.connections++;
}

void LinkModel::countDelivery(double lateMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stats.deliveries++;
    m_stats.totalLateMs += lateMs;
    m_stats.maxLateMs = std::max(m_stats.maxLateMs, lateMs);
}

LinkStats LinkModel::stats() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void LinkModel::clearStats()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stats = LinkStats();
}

} // namespace emu::link
