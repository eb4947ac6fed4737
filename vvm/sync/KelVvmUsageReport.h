// KelVvmUsageReport: the usage report's document and signature, functions of their inputs.
#ifndef KELVVMUSAGEREPORT_H
#define KELVVMUSAGEREPORT_H

#include <cstdint>
#include <string>

struct KelVvmUsageReport {
    std::string appId;
    std::string appVersion;
    std::string deviceUid;
    std::string modelName;
    std::string platformVersion;
    int64_t offlineCounter = 0;

    // One line of XML. The values go in as they stand, unescaped: the endpoint verifies the
    // signature over the bytes it receives, whatever they hold. The counter is written as its
    // low 32 bits taken as a signed number.
    std::string document() const;
};

// The 16-byte MD5 digest of `data`.
std::string usageReportDigest(const std::string& data);
// AES-128 in ECB mode, one block, of the 16-byte `digest` under the 16-byte `key`.
std::string usageReportSignature(const std::string& digest, const std::string& key);
// The "X-Signature" value: the raw signature bytes up to, not including, the first zero byte.
std::string usageReportSignatureHeader(const std::string& signature);

#endif
