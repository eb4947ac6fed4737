// KelVvmStop: SIGTERM and SIGINT, seen at once by the blocking exchanges, which give up, and
// through the main loop by the application, which quits. A blocking exchange holds the loop
// for as long as it lasts: without this a stop asked during a silent server's time-outs and
// retries would wait minutes.
#ifndef KELVVMSTOP_H
#define KELVVMSTOP_H

namespace KelVvmStop
{

// Installs the handlers of SIGTERM and SIGINT; `onLoop(signum)` then runs on the default main
// context for each one. False, with errno set, when they cannot be installed.
bool install(void (*onLoop)(int signum));

// Whether a stop signal has arrived since install().
bool requested();

// Waits `milliseconds`, or less when a stop signal arrives; false when one did.
bool sleep(long milliseconds);

} // namespace KelVvmStop

#endif
