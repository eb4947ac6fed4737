// CertificateAuthority: the emulator's own CA and the carrier servers' certificate.
#include "CertificateAuthority.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace emu::link
{

namespace
{

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        return false;
    bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate of `key` for `name`, signed by `issuerKey` (itself when `issuer` is null).
Certificate makeCertificate(EVP_PKEY* key, const char* name, long serial, X509* issuer,
                            EVP_PKEY* issuerKey)
{
    Certificate certificate(X509_new(), X509_free);
    if (!certificate)
        return certificate;
    X509* c = certificate.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), serial);
    // An hour back: a client whose clock is a little behind still accepts it.
    X509_gmtime_adj(X509_getm_notBefore(c), -3600);
    X509_gmtime_adj(X509_getm_notAfter(c), 10L * 365 * 24 * 3600);
    X509_set_pubkey(c, key);
    X509_NAME* subject = X509_get_subject_name(c);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("nimbos-emulator"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(c, issuer ? X509_get_subject_name(issuer) : subject);
    X509* signer = issuer ? issuer : c;
    bool ok = addExtension(c, signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        ok = ok && addExtension(c, signer, NID_basic_constraints, "critical,CA:FALSE") &&
             addExtension(c, signer, NID_key_usage, "critical,digitalSignature") &&
             addExtension(c, signer, NID_ext_key_usage, "serverAuth") &&
             addExtension(c, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
             addExtension(c, signer, NID_authority_key_identifier, "keyid:always");
    } else {
        ok = ok && addExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE") &&
             addExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    if (!ok || X509_sign(c, issuerKey, EVP_sha256()) == 0)
        certificate.reset();
    return certificate;
}

bool writePem(const std::string& path, X509* certificate, EVP_PKEY* key)
{
    // The key is readable by its owner only, from its creation on.
    mode_t old = umask(key ? 077 : 022);
    FILE* file = fopen(path.c_str(), "w");
    umask(old);
    if (!file)
        return false;
    bool written =
        certificate ? PEM_write_X509(file, certificate) == 1
                    : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return fclose(file) == 0 && written;
}

} // namespace

bool prepareTlsFiles(const std::string& folder, TlsFiles& files, std::string& error)
{
    mkdir(folder.c_str(), 0755);
    files = {folder + "/ca.pem", folder + "/server.pem", folder + "/server.key"};
    if (access(files.caFile.c_str(), R_OK) == 0 && access(files.certFile.c_str(), R_OK) == 0 &&
        access(files.keyFile.c_str(), R_OK) == 0)
        return true;
    Key caKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    Key serverKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!caKey || !serverKey) {
        error = "cannot make the TLS keys";
        return false;
    }
    Certificate ca = makeCertificate(caKey.get(), "nimbos-emulator CA", 1, nullptr, caKey.get());
    Certificate server =
        ca ? makeCertificate(serverKey.get(), "127.0.0.1", 2, ca.get(), caKey.get())
           : Certificate(nullptr, X509_free);
    if (!server) {
        error = "cannot make the TLS certificates";
        return false;
    }
    if (!writePem(files.keyFile, nullptr, serverKey.get()) ||
        !writePem(files.certFile, server.get(), nullptr) ||
        !writePem(files.caFile, ca.get(), nullptr)) {
        error = "cannot write the TLS files in " + folder;
        return false;
    }
    return true;
}

} // namespace emu::link
