// LinkRelay: a server's connections carried through a LinkModel.
#include "LinkRelay.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <string>

namespace emu::link
{

namespace
{

// About one TCP segment on a mobile link: bytes read together cross the link together, so a
// larger read would arrive in one late lump instead of a stream.
const size_t kSegment = 1400;

// Bytes read from one side, or its end of stream, waiting for their time on the link.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool end = false;
};

// One direction of a connection: what it reads from `from` goes to `to` in order.
struct Way {
    int from, to;
    Direction direction;
    std::deque<Chunk> queue;
    Clock::time_point last; // TCP delivers in order: nothing overtakes what came before
    bool reading = true;
    bool ended = false; // the end of stream was delivered

    void push(Chunk chunk)
    {
        chunk.due = std::max(chunk.due, last);
        last = chunk.due;
        queue.push_back(std::move(chunk));
    }
};

bool writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

void LinkRelay::serve(int client, int target)
{
    m_model.countConnection();
    // The default slack of 50 us would make every timed wake-up that much late: on a link of
    // a millisecond that is a tenth of the delay.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    Clock::time_point accepted = Clock::now();
    Way ways[2] = {{client, target, Direction::Up, {}, m_model.handshakeDone(accepted)},
                   {target, client, Direction::Down, {}, accepted}};
    char buffer[kSegment];
    while (!ways[0].ended || !ways[1].ended) {
        Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (Way& way : ways) {
            while (!way.queue.empty() && way.queue.front().due <= now) {
                Chunk& chunk = way.queue.front();
                m_model.countDelivery(
                    std::chrono::duration<double, std::milli>(now - chunk.due).count());
                if (chunk.end) {
                    shutdown(way.to, SHUT_WR);
                    way.ended = true;
                } else if (!writeAll(way.to, chunk.bytes)) {
                    return;
                }
                way.queue.pop_front();
            }
            if (!way.queue.empty())
                next = std::min(next, way.queue.front().due);
        }
        pollfd fds[2];
        for (int i = 0; i < 2; i++)
            fds[i] = {ways[i].reading ? ways[i].from : -1, POLLIN, 0};
        timespec wait{};
        timespec* timeout = nullptr;
        if (next != Clock::time_point::max()) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now());
            long long left = std::max<long long>(0, ns.count());
            wait = {time_t(left / 1000000000), long(left % 1000000000)};
            timeout = &wait;
        }
        if (!ways[0].reading && !ways[1].reading && !timeout)
            return;
        if (ppoll(fds, 2, timeout, nullptr) < 0)
            return;
        for (int i = 0; i < 2; i++) {
            Way& way = ways[i];
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = recv(way.from, buffer, sizeof buffer, 0);
            now = Clock::now();
            if (n > 0) {
                way.push({m_model.schedule(way.direction, size_t(n), now),
                          std::string(buffer, size_t(n))});
            } else {
                way.reading = false;
                way.push({m_model.closeArrives(way.direction, now), {}, true});
            }
        }
    }
}

} // namespace emu::link
