// KelVvmUsageReport: the usage report: its document, its signature, and the activity step that
// posts it to the carrier's application-statistics endpoint.
#include "KelVvmUsageReport.h"

#include "HttpRequest.h"
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"
#include "KelVvmSettings.h"

#include <openssl/evp.h>

#include <memory>
#include <new>
#include <stdexcept>

const std::string KelVvmActivity::s_reportAppId = "com.kel.quor.vvm";
const std::string KelVvmActivity::s_reportAppVersion = "1.0.0";
// The text's 16 characters are the AES-128 key bytes; it is not hexadecimal.
const std::string KelVvmActivity::s_reportAppKey = "7c3e19d0b25fa846";
std::string KelVvmActivity::s_reportUrl = KelVvmSettings::instance().reportUrl;

std::string KelVvmUsageReport::document() const
{
    return "<Data appId='" + appId + "' appV='" + appVersion +
           "'><Application pfName='quor' dvId='" + deviceUid + "' dvName='" + modelName +
           "' pfV='" + platformVersion + "' /><Stats k='nbLOff' v='" +
           std::to_string(int32_t(uint32_t(offlineCounter))) + "'/></Data>";
}

std::string usageReportDigest(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr) || size != 16)
        throw std::runtime_error("MD5 digest failed");
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string usageReportSignature(const std::string& digest, const std::string& key)
{
    if (digest.size() != 16 || key.size() != 16)
        throw std::invalid_argument("AES-128 needs a 16-byte block and key");
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher(EVP_CIPHER_CTX_new(),
                                                                           EVP_CIPHER_CTX_free);
    if (!cipher)
        throw std::bad_alloc();
    unsigned char out[32];
    int size = 0;
    if (!EVP_EncryptInit_ex(cipher.get(), EVP_aes_128_ecb(), nullptr,
                            reinterpret_cast<const unsigned char*>(key.data()), nullptr) ||
        !EVP_CIPHER_CTX_set_padding(cipher.get(), 0) ||
        !EVP_EncryptUpdate(cipher.get(), out, &size,
                           reinterpret_cast<const unsigned char*>(digest.data()), 16) ||
        size != 16)
        throw std::runtime_error("AES-128 encryption failed");
    return std::string(reinterpret_cast<const char*>(out), 16);
}

std::string usageReportSignatureHeader(const std::string& signature)
{
    return signature.substr(0, signature.find('\0'));
}

void KelVvmActivity::sendUsageReport()
{
    KLOG_DEBUG("KelVvmActivity::sendUsageReport");
    KelVvmUsageReport report;
    report.appId = s_reportAppId;
    report.appVersion = s_reportAppVersion;
    report.deviceUid = KelVvmServiceValues::s_deviceUid;
    report.modelName = KelVvmServiceValues::s_modelName;
    report.platformVersion = KelVvmServiceValues::s_platformVersion;
    report.offlineCounter = KelVvmServiceValues::s_offlineCounter;
    int64_t& counter = KelVvmServiceValues::s_offlineCounter;
    try {
        const std::string document = report.document();
        KLOG_DEBUG(" * POST: %s", document.c_str());
        const std::string digest = usageReportDigest(document);
        QmLogDumpData(gLogContext, QMLOG_LEVEL_DEBUG, digest.data(), digest.size());
        const std::string signature = usageReportSignature(digest, s_reportAppKey);
        QmLogDumpData(gLogContext, QMLOG_LEVEL_DEBUG, signature.data(), signature.size());
        const std::string header = usageReportSignatureHeader(signature);
        // A line break in the raw bytes would end the header line and start another one.
        if (header.find_first_of("\r\n") != std::string::npos)
            throw std::runtime_error("X-Signature holds a line break; report not sent");
        HttpRequest request(s_reportUrl);
        request.m_interface = KelVvmServiceValues::s_wanIpAddress;
        request.setRequestHeader("X-Signature", header);
        request.setRequestHeader("contentType", "application/xml");
        if (request.post(document.c_str()) == 200)
            counter = 0;
        else
            counter++;
    } catch (const std::exception& e) {
        KLOG_WARNING("sendUsageReport Failed: %s", e.what());
        counter++;
    }
    updateMailbox("offlineCounter", JValue(counter));
}
