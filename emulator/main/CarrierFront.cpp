// CarrierFront: how the phone reaches a carrier server.
#include "CarrierFront.h"

namespace emulator
{

void CarrierFront::start(uint16_t serverPort, const CarrierAccess& access)
{
    uint16_t port = serverPort;
    if (access.tls) {
        m_tls = std::make_unique<emu::link::TlsFront>(*access.tls);
        m_tls->start(port);
        port = m_tls->port();
    }
    // Outside TLS, as on a phone: the handshakes cross the link too.
    if (access.link) {
        m_relay = std::make_unique<emu::link::LinkRelay>(*access.link);
        m_relay->start(port);
        port = m_relay->port();
    }
    m_baseUrl = std::string(access.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
}

void CarrierFront::stop()
{
    m_relay.reset();
    m_tls.reset();
}

} // namespace emulator
