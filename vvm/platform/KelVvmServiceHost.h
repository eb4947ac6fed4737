// KelVvmServiceHost: what the layers below the application need of the running service.
#ifndef KELVVMSERVICEHOST_H
#define KELVVMSERVICEHOST_H

#include "tamoservice.h"

// The application derives from this class, so the activity layer reaches its bus handle and
// idle timer without depending on the application above it. Exactly one host exists while
// activities run: the application in the service, a stand-in in tests.
class KelVvmServiceHost
{
  public:
    // The host of this process. Precondition: one exists (it is made before any activity).
    static KelVvmServiceHost& instance();

    // Arms the idle timer for `seconds`; an armed timer is left alone.
    virtual void startIdleTimer(int seconds) = 0;

    // The bus handle on which the service makes all its calls; null until registered.
    TSHandle* m_serviceHandle;

  protected:
    // Construction makes this object the host; destruction ends that.
    KelVvmServiceHost();
    virtual ~KelVvmServiceHost();
    KelVvmServiceHost(const KelVvmServiceHost&) = delete;
    KelVvmServiceHost& operator=(const KelVvmServiceHost&) = delete;

  private:
    static KelVvmServiceHost* s_instance;
};

#endif
