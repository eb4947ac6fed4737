// VoicemailServer: the carrier's voicemail platform and usage-statistics endpoint on 127.0.0.1,
// with its controls on the bus as com.quor.carrier.voicemail /emulator.
#include "VoicemailServer.h"

namespace emulator
{

namespace
{
// What the platform assumes when the section names no namespace; kelvvm must use the same.
const char* const kDefaultNamespace = "http://ws.vvm.example.invalid/";

const char* const kCommands[] = {"mailbox",       "requests", "reports",    "downloads",
                                 "clearRequests", "addCall",  "removeCall", "setAccount",
                                 "failSoap",      "setAudio", "failReport", "recover"};
} // namespace

// Each control method is the platform command of the same name.
class VoicemailServer::Controls : public DeviceService
{
  public:
    Controls(emu::vvm::VoicemailPlatform& platform, const DeviceContext& context)
        : DeviceService("com.quor.carrier.voicemail", context)
    {
        for (const char* name : kCommands) {
            addControl(name, [&platform, name](TSMessage*, const JValue& payload) {
                JValue command = JValue::object();
                for (const std::string& key : payload.keys())
                    command.put(key, payload[key]);
                command.put("command", name);
                return std::make_unique<JValue>(platform.control(command));
            });
        }
    }
};

VoicemailServer::VoicemailServer(const JValue& section, const DeviceContext& context,
                                 const CarrierAccess& access)
    : m_access(access)
{
    JValue config = section.isObject() ? section : JValue::object();
    m_namespace =
        config["namespace"].isString() ? config["namespace"].asString() : kDefaultNamespace;
    m_platform = std::make_unique<emu::vvm::VoicemailPlatform>(config);
    m_controls = std::make_unique<Controls>(*m_platform, context);
}

VoicemailServer::~VoicemailServer() = default;

bool VoicemailServer::start(std::string& error)
{
    m_platform->start();
    m_started = true;
    m_front.start(uint16_t(m_platform->port()), m_access);
    m_platform->setPublicBaseUrl(m_front.baseUrl());
    return m_controls->start(error);
}

void VoicemailServer::stop()
{
    m_controls->stop();
    m_front.stop();
    m_platform->stop();
    m_started = false;
}

std::vector<std::pair<std::string, std::string>> VoicemailServer::envLines() const
{
    if (!m_started)
        return {};
    return {{"VOICEMAIL_URL", m_platform->baseUrl()},
            {"VOICEMAIL_SERVICE_URL", m_platform->serviceUrl()},
            {"VOICEMAIL_REPORT_URL", m_platform->reportUrl()}};
}

void VoicemailServer::addSettings(DeploymentSettings& settings) const
{
    if (!m_started)
        return;
    auto& kelvvm = settings["kelvvm"];
    kelvvm["voicemail"]["url"] = m_platform->serviceUrl();
    kelvvm["voicemail"]["qualification-url"] = m_platform->serviceUrl();
    kelvvm["voicemail"]["namespace"] = m_namespace;
    kelvvm["report"]["url"] = m_platform->reportUrl();
}

} // namespace emulator
