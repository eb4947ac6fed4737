// UsageStats: the usage-statistics endpoint's signature check and report reading.
#include "UsageStats.h"

#include "SoapXml.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace emu::vvm
{

const char* const kUsageReportKey = "7c3e19d0b25fa846";

std::string usageSignature(const std::string& body, const std::string& key)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (key.size() != 16 ||
        !EVP_Digest(body.data(), body.size(), digest, &digestSize, EVP_md5(), nullptr))
        return std::string();

    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher(EVP_CIPHER_CTX_new(),
                                                                           EVP_CIPHER_CTX_free);
    unsigned char out[32];
    int outSize = 0;
    if (!cipher ||
        !EVP_EncryptInit_ex(cipher.get(), EVP_aes_128_ecb(), nullptr,
                            reinterpret_cast<const unsigned char*>(key.data()), nullptr) ||
        !EVP_CIPHER_CTX_set_padding(cipher.get(), 0) ||
        !EVP_EncryptUpdate(cipher.get(), out, &outSize, digest, int(digestSize)) || outSize != 16)
        return std::string();
    return std::string(reinterpret_cast<char*>(out), 16);
}

bool usageSignatureMatches(const std::string& header, const std::string& body,
                           const std::string& key)
{
    std::string expected = usageSignature(body, key);
    if (expected.size() != 16)
        return false;
    expected = expected.substr(0, expected.find('\0'));
    size_t first = expected.find_first_not_of(" \t");
    if (first == std::string::npos)
        return header.empty();
    size_t last = expected.find_last_not_of(" \t");
    return header == expected.substr(first, last - first + 1);
}

JValue UsageReport::toJson() const
{
    JValue json = JValue::object();
    json.put("body", body);
    json.put("signatureValid", signatureValid);
    json.put("wellFormed", wellFormed);
    json.put("appId", appId);
    json.put("appVersion", appVersion);
    json.put("deviceId", deviceId);
    json.put("deviceName", deviceName);
    json.put("platformVersion", platformVersion);
    json.put("nbLOff", hasOfflineCount ? JValue(int64_t(offlineCount)) : JValue());
    json.put("status", int32_t(status));
    return json;
}

UsageReport readUsageReport(const std::string& body)
{
    UsageReport report;
    report.body = body;
    XmlDocument doc(body);
    const xmlNode* data = doc.root();
    if (!data || !localNameIs(data, "Data"))
        return report;
    report.wellFormed = true;
    report.appId = attribute(data, "appId");
    report.appVersion = attribute(data, "appV");
    for (const xmlNode* child = data->children; child; child = child->next) {
        if (localNameIs(child, "Application")) {
            report.deviceId = attribute(child, "dvId");
            report.deviceName = attribute(child, "dvName");
            report.platformVersion = attribute(child, "pfV");
        } else if (localNameIs(child, "Stats") && attribute(child, "k") == "nbLOff") {
            std::string value = attribute(child, "v");
            char* end = nullptr;
            errno = 0;
            long long count = std::strtoll(value.c_str(), &end, 10);
            if (!value.empty() && *end == '\0' && errno == 0) {
                report.hasOfflineCount = true;
                report.offlineCount = count;
            }
        }
    }
    return report;
}

} // namespace emu::vvm
