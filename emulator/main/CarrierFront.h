// CarrierFront: how the phone reaches a carrier server: at the server's own port, or through TLS
// with the emulator's CA and the link relay, each when the emulator runs with it.
#ifndef EMULATOR_CARRIERFRONT_H
#define EMULATOR_CARRIERFRONT_H

#include "CertificateAuthority.h"
#include "LinkModel.h"
#include "LinkRelay.h"
#include "TlsFront.h"

#include <cstdint>
#include <memory>
#include <string>

namespace emulator
{

// What stands in front of every carrier server; null members are not there.
struct CarrierAccess {
    const emu::link::TlsFiles* tls = nullptr;
    emu::link::LinkModel* link = nullptr;
};

class CarrierFront
{
  public:
    // Puts TLS, then the relay, in front of the server at `serverPort`. Throws
    // std::runtime_error when one cannot listen.
    void start(uint16_t serverPort, const CarrierAccess& access);
    // The relay first, then TLS: nothing reaches a front that is gone.
    void stop();

    // "http://127.0.0.1:PORT" or "https://…" of the outermost front.
    const std::string& baseUrl() const { return m_baseUrl; }

  private:
    std::unique_ptr<emu::link::TlsFront> m_tls;
    std::unique_ptr<emu::link::LinkRelay> m_relay;
    std::string m_baseUrl;
};

} // namespace emulator

#endif
