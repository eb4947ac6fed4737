// DeviceServer: a device bus service run as one of the emulator's servers.
#ifndef EMULATOR_DEVICESERVER_H
#define EMULATOR_DEVICESERVER_H

#include "DeviceService.h"
#include "EmulatorServer.h"

#include <memory>

namespace emulator
{

class DeviceServer : public EmulatorServer
{
  public:
    explicit DeviceServer(std::unique_ptr<DeviceService> service) : m_service(std::move(service)) {}
    bool start(std::string& error) override { return m_service->start(error); }
    void stop() override { m_service->stop(); }

  private:
    std::unique_ptr<DeviceService> m_service;
};

} // namespace emulator

#endif
