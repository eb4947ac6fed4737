// UsageStats: the usage-statistics endpoint's signature check and report reading.
#ifndef EMU_USAGESTATS_H
#define EMU_USAGESTATS_H

#include "vtjson.h"

#include <string>

namespace emu::vvm
{

// The key the service signs its reports with; its 16 characters are the AES-128 key bytes.
extern const char* const kUsageReportKey;

// AES-128-ECB, under `key` (16 bytes), of the MD5 digest of `body`: 16 bytes.
std::string usageSignature(const std::string& body, const std::string& key);

// Whether `header` (the received "X-Signature" value, "" when absent) is the signature of
// `body`. Senders put the raw bytes in the header, so the value ends at the first zero byte,
// and the blanks HTTP strips around a value are stripped from the expected text too.
bool usageSignatureMatches(const std::string& header, const std::string& body,
                           const std::string& key);

struct UsageReport {
    std::string body;
    bool signatureValid = false;
    bool wellFormed = false; // a Data element was read
    std::string appId, appVersion, deviceId, deviceName, platformVersion;
    bool hasOfflineCount = false; // a Stats element k='nbLOff' with a decimal v
    long long offlineCount = 0;
    int status = 0; // what the endpoint answered

    JValue toJson() const;
};

// Reads the report document <Data appId appV><Application .../><Stats k v/></Data>.
UsageReport readUsageReport(const std::string& body);

} // namespace emu::vvm

#endif
