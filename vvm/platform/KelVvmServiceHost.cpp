// KelVvmServiceHost: what the layers below the application need of the running service.
#include "KelVvmServiceHost.h"

#include <cassert>

KelVvmServiceHost* KelVvmServiceHost::s_instance = nullptr;

KelVvmServiceHost& KelVvmServiceHost::instance()
{
    assert(s_instance);
    return *s_instance;
}

KelVvmServiceHost::KelVvmServiceHost() : m_serviceHandle(nullptr)
{
    assert(!s_instance);
    s_instance = this;
}

KelVvmServiceHost::~KelVvmServiceHost()
{
    s_instance = nullptr;
}
