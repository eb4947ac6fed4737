// ConnectionManagerService: com.quor.connectionmanager: the WAN connection and its address.
#include "ConnectionManagerService.h"

#include <glib.h>

#include <stdexcept>

namespace emulator
{

namespace
{
// The daemons bind their transfers to the WAN address, so it must be one.
std::string checkedAddress(const std::string& address)
{
    if (!g_hostname_is_ip_address(address.c_str()))
        throw std::invalid_argument("\"ipAddress\" must be an IP address, not \"" + address + "\"");
    return address;
}
} // namespace

ConnectionManagerService::ConnectionManagerService(const JValue& config,
                                                   DeviceContext deviceContext)
    : DeviceService("com.quor.connectionmanager", std::move(deviceContext)), m_state("connected"),
      m_ipAddress("127.0.0.1")
{
    config["wan"]["state"].asString(m_state);
    if (config["wan"]["ipAddress"].asString(m_ipAddress))
        checkedAddress(m_ipAddress);
    addMethod("getStatus", [this](TSMessage* message, const JValue&) {
        if (TSMessageIsSubscription(message))
            m_subscribers.add(message);
        return std::make_unique<JValue>(status());
    });
    addControl("setWan", [this](TSMessage*, const JValue& payload) {
        // Both checked before either changes.
        std::string state = payload.hasKey("state") ? requireString(payload, "state") : m_state;
        if (payload.hasKey("ipAddress"))
            m_ipAddress = checkedAddress(requireString(payload, "ipAddress"));
        m_state = state;
        m_subscribers.notify(status().stringify());
        return std::make_unique<JValue>(success());
    });
}

JValue ConnectionManagerService::status() const
{
    bool connected = m_state != "disconnected";
    JValue wan = JValue::object();
    wan.put("state", m_state);
    if (connected)
        wan.put("ipAddress", m_ipAddress);
    JValue wifi = JValue::object();
    wifi.put("state", "disconnected");
    JValue reply = success();
    reply.put("isInternetConnectionAvailable", connected);
    reply.put("wan", wan);
    reply.put("wifi", wifi);
    return reply;
}

} // namespace emulator
