// TlsFront: https in front of a plain HTTP server: each connection's TLS ends here and its bytes
// go on, unchanged, to the server, whose answers go back the same way.
#ifndef EMU_TLSFRONT_H
#define EMU_TLSFRONT_H

#include "CertificateAuthority.h"
#include "Forwarder.h"

#include <openssl/ssl.h>

namespace emu::link
{

class TlsFront : public Forwarder
{
  public:
    // Throws std::runtime_error when the certificate or its key cannot be used.
    explicit TlsFront(const TlsFiles& files);
    ~TlsFront() override;

  protected:
    void serve(int client, int target) override;

  private:
    SSL_CTX* m_context;
};

} // namespace emu::link

#endif
