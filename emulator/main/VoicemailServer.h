// VoicemailServer: the carrier's voicemail platform and usage-statistics endpoint on 127.0.0.1,
// with its controls on the bus as com.quor.carrier.voicemail /emulator.
#ifndef EMULATOR_VOICEMAILSERVER_H
#define EMULATOR_VOICEMAILSERVER_H

#include "CarrierFront.h"
#include "DeviceService.h"
#include "EmulatorServer.h"
#include "VoicemailPlatform.h"

#include <memory>

namespace emulator
{

class VoicemailServer : public EmulatorServer
{
  public:
    VoicemailServer(const JValue& section, const DeviceContext& context,
                    const CarrierAccess& access);
    ~VoicemailServer() override;
    bool start(std::string& error) override;
    void stop() override;
    std::vector<std::pair<std::string, std::string>> envLines() const override;
    void addSettings(DeploymentSettings& settings) const override;

  private:
    class Controls;
    std::string m_namespace;
    std::unique_ptr<emu::vvm::VoicemailPlatform> m_platform;
    std::unique_ptr<Controls> m_controls;
    CarrierAccess m_access;
    CarrierFront m_front;
    bool m_started = false;
};

} // namespace emulator

#endif
