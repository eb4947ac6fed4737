// ConnectionManagerService: com.quor.connectionmanager: the WAN connection and its address.
#ifndef EMULATOR_CONNECTIONMANAGERSERVICE_H
#define EMULATOR_CONNECTIONMANAGERSERVICE_H

#include "DeviceService.h"

namespace emulator
{

// Configuration: {"wan": {"state": "connected" or "disconnected", "ipAddress"}}. The address is
// the one the daemons bind their HTTP transfers to, so it must be local (127.0.0.1).
class ConnectionManagerService : public DeviceService
{
  public:
    ConnectionManagerService(const JValue& config, DeviceContext context);

  private:
    JValue status() const;

    std::string m_state;
    std::string m_ipAddress;
    Subscribers m_subscribers;
};

} // namespace emulator

#endif
