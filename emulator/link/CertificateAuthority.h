// CertificateAuthority: the emulator's own CA and the carrier servers' certificate, made once in
// a folder and kept there, so that a client verifies https against it as against a carrier.
#ifndef EMU_CERTIFICATEAUTHORITY_H
#define EMU_CERTIFICATEAUTHORITY_H

#include <string>

namespace emu::link
{

struct TlsFiles {
    std::string caFile;   // the CA certificate, for the clients to trust
    std::string certFile; // the servers' certificate, for 127.0.0.1 and localhost
    std::string keyFile;  // its private key
};

// Fills `files` with the three files in `folder` (created when missing), making them when any
// is missing. False, with the reason in `error`, when they cannot be made.
bool prepareTlsFiles(const std::string& folder, TlsFiles& files, std::string& error);

} // namespace emu::link

#endif
