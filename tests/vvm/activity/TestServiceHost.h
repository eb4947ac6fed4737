// A stand-in for the application as the activity layer sees it: a bus handle and an idle timer
// that only records being armed.
#ifndef KEL_TEST_SERVICE_HOST_H
#define KEL_TEST_SERVICE_HOST_H

#include "KelVvmServiceHost.h"

class TestServiceHost : public KelVvmServiceHost
{
  public:
    void startIdleTimer(int seconds) override { m_idleSeconds = seconds; }

    // The seconds of the last arming; 0 when not armed since the last reset.
    int m_idleSeconds = 0;
};

#endif
