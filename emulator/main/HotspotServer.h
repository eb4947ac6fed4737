// HotspotServer: the carrier's hotspot gateway on 127.0.0.1, with its controls on the bus as
// com.quor.carrier.hotspot /emulator.
#ifndef EMULATOR_HOTSPOTSERVER_H
#define EMULATOR_HOTSPOTSERVER_H

#include "CarrierFront.h"
#include "DeviceService.h"
#include "EmulatorServer.h"
#include "HotspotGateway.h"

#include <memory>

namespace emulator
{

class HotspotServer : public EmulatorServer
{
  public:
    HotspotServer(const JValue& section, const DeviceContext& context, const CarrierAccess& access);
    ~HotspotServer() override;
    bool start(std::string& error) override;
    void stop() override;
    std::vector<std::pair<std::string, std::string>> envLines() const override;
    void addSettings(DeploymentSettings& settings) const override;

  private:
    class Controls;
    JValue m_section;
    std::unique_ptr<emu::hotspot::HotspotGateway> m_gateway;
    std::unique_ptr<Controls> m_controls;
    CarrierAccess m_access;
    CarrierFront m_front;
};

} // namespace emulator

#endif
