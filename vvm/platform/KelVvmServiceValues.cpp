// KelVvmServiceValues: the process-wide names, settings and caches of the voicemail service.
#include "KelVvmServiceValues.h"

std::string KelVvmServiceValues::s_tamoServiceName = "com.quor.kelvvm";
std::string KelVvmServiceValues::s_serviceName = "kel";
std::string KelVvmServiceValues::s_mailboxKind = "com.quor.vvm.kelmailbox:1";
std::string KelVvmServiceValues::s_voiceMessageKind = "com.quor.vvm.kelmessages:1";
std::string KelVvmServiceValues::s_mediaFolder = "/media/internal/.voicemessages/kel/";
std::string KelVvmServiceValues::s_defaultFormat = "AMR";
std::string KelVvmServiceValues::s_modelName = "Nimbos smartphone";
std::string KelVvmServiceValues::s_platformVersion = "2.0";
std::string KelVvmServiceValues::s_userAgent;
std::string KelVvmServiceValues::s_deviceUid;
std::string KelVvmServiceValues::s_wanIpAddress;
std::string KelVvmServiceValues::s_accountStatus;
std::string KelVvmServiceValues::s_imsi;
std::string KelVvmServiceValues::s_unknownCaller = "unknown caller";
int64_t KelVvmServiceValues::s_offlineCounter = 0;
int64_t KelVvmServiceValues::s_lastSyncTime = 0;
long KelVvmServiceValues::s_testTimeScale = 1;

long KelVvmServiceValues::scaledMilliseconds(long seconds)
{
    return 1000 * seconds / (s_testTimeScale > 0 ? s_testTimeScale : 1);
}
