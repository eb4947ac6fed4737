// HotspotServer: the carrier's hotspot gateway on 127.0.0.1, with its controls on the bus as
// com.quor.carrier.hotspot /emulator.
#include "HotspotServer.h"

namespace emulator
{

using emu::hotspot::HotspotGateway;

// Tests, the demo and people steer the gateway and read what it saw through these.
class HotspotServer::Controls : public DeviceService
{
  public:
    Controls(HotspotGateway& gateway, const DeviceContext& context)
        : DeviceService("com.quor.carrier.hotspot", context)
    {
        addControl("configure", [&gateway](TSMessage*, const JValue& payload) {
            gateway.apply(requireObject(payload, "settings"));
            return std::make_unique<JValue>(success());
        });
        addControl("behave", [&gateway](TSMessage*, const JValue&) {
            gateway.behave();
            return std::make_unique<JValue>(success());
        });
        addControl("status", [&gateway](TSMessage*, const JValue&) {
            return withSuccess("status", gateway.status());
        });
        addControl("accounts", [&gateway](TSMessage*, const JValue&) {
            return withSuccess("accounts", gateway.accounts());
        });
        addControl("requests", [&gateway](TSMessage*, const JValue&) {
            return withSuccess("requests", gateway.requestLog());
        });
        addControl("clearRequests", [&gateway](TSMessage*, const JValue&) {
            gateway.clearRequestLog();
            return std::make_unique<JValue>(success());
        });
        addControl("redirectPage", [&gateway](TSMessage*, const JValue&) {
            return withSuccess("page", JValue(gateway.redirectPage()));
        });
    }

  private:
    static std::unique_ptr<JValue> withSuccess(const std::string& key, const JValue& value)
    {
        auto reply = std::make_unique<JValue>(success());
        reply->put(key, value);
        return reply;
    }
};

HotspotServer::HotspotServer(const JValue& section, const DeviceContext& context,
                             const CarrierAccess& access)
    : m_section(section.isObject() ? section : JValue::object()), m_access(access)
{
    m_gateway = std::make_unique<HotspotGateway>(m_section);
    m_controls = std::make_unique<Controls>(*m_gateway, context);
}

HotspotServer::~HotspotServer() = default;

bool HotspotServer::start(std::string& error)
{
    m_front.start(m_gateway->port(), m_access);
    m_gateway->setPublicBaseUrl(m_front.baseUrl());
    return m_controls->start(error);
}

void HotspotServer::stop()
{
    m_controls->stop();
    m_front.stop();
    m_gateway.reset();
}

std::vector<std::pair<std::string, std::string>> HotspotServer::envLines() const
{
    return m_gateway ? m_gateway->envVariables()
                     : std::vector<std::pair<std::string, std::string>>{};
}

void HotspotServer::addSettings(DeploymentSettings& settings) const
{
    if (!m_gateway)
        return;
    // The daemon adds the fixed paths to these hosts itself.
    settings["kelwisprd"]["Endpoints"]["ConnectivityCheckHost"] = m_gateway->baseUrl();
    settings["kelwisprd"]["Endpoints"]["AccountCreationHost"] = m_gateway->baseUrl();
    // The credentials go to the gateway's own host only, as a deployment should have it.
    settings["kelwisprd"]["Endpoints"]["CredentialHosts"] = "127.0.0.1";
}

} // namespace emulator
