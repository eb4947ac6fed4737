// KelVvmStop: the stop signals, as a flag for the blocking code and a wake-up of the loop.
#include "KelVvmStop.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>

namespace
{

std::atomic<int> s_signal{0};
// Written by the handler, watched by the loop and by sleep(); -1 before install().
int s_wake[2] = {-1, -1};
void (*s_onLoop)(int) = nullptr;

void onSignal(int signum)
{
    int saved = errno;
    s_signal.store(signum);
    const char byte = 1;
    // A full pipe has a wake-up pending already.
    ssize_t ignored = write(s_wake[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

gboolean onWake(gint fd, GIOCondition, gpointer)
{
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
    if (s_onLoop)
        s_onLoop(s_signal.load());
    return G_SOURCE_CONTINUE;
}

} // namespace

bool KelVvmStop::install(void (*onLoop)(int signum))
{
    if (s_wake[0] < 0 && pipe2(s_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    s_onLoop = onLoop;
    g_unix_fd_add(s_wake[0], G_IO_IN, onWake, nullptr);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

bool KelVvmStop::requested()
{
    return s_signal.load() != 0;
}

bool KelVvmStop::sleep(long milliseconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (requested())
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return true;
        // Without install() the descriptor is -1, which poll() ignores: a plain wait.
        struct pollfd wake = {s_wake[0], POLLIN, 0};
        poll(&wake, 1, int(left));
    }
}
