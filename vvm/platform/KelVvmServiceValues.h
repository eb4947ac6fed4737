// KelVvmServiceValues: the process-wide names, settings and caches of the voicemail service.
#ifndef KELVVMSERVICEVALUES_H
#define KELVVMSERVICEVALUES_H

#include <cstdint>
#include <stdexcept>
#include <string>

// The service's own failures; declared here, beside its values, so that the work steps below the
// application can raise it too.
class KelVvmServiceAppException : public std::runtime_error
{
  public:
    explicit KelVvmServiceAppException(const std::string& text) : std::runtime_error(text) {}
};

// The application class derives from this one, so these are also reached as
// KelVvmServiceApp::s_…; they live here so that the protocol and activity layers can read them
// without depending on the application above them.
class KelVvmServiceValues
{
  public:
    static std::string s_tamoServiceName;
    static std::string s_serviceName;
    static std::string s_mailboxKind;
    static std::string s_voiceMessageKind;
    static std::string s_mediaFolder;
    static std::string s_defaultFormat;
    static std::string s_modelName;
    static std::string s_platformVersion;
    static std::string s_userAgent;
    static std::string s_deviceUid;
    static std::string s_wanIpAddress;
    static std::string s_accountStatus;
    static std::string s_imsi;
    // The caller shown for a withheld number.
    static std::string s_unknownCaller;
    static int64_t s_offlineCounter;
    static int64_t s_lastSyncTime;
    // Test hook (KELVVM_TEST_TIME_SCALE): idle periods, transfer time-outs and retry waits are
    // this many times shorter, so that tests of a silent server never wait for minutes.
    static long s_testTimeScale;

    // `seconds` in milliseconds, divided by the test time scale.
    static long scaledMilliseconds(long seconds);
};

#endif
