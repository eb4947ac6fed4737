// MessageRefreshActivity: a refresh of the voicemail list asked for by the phone or by a
// scheduled retry; it sends the usage report and synchronizes at most once every two minutes.
#include "MessageRefreshActivity.h"

#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"

#include <ctime>

int64_t (*MessageRefreshActivity::s_testClock)() = nullptr;

namespace
{
const int64_t kSyncWindowSeconds = 120;
} // namespace

MessageRefreshActivity::MessageRefreshActivity(TSMessage* message) : KelVvmActivity(message)
{
    m_activityType = 2;
    m_retryActivityName = s_refreshScheduledActivity;
    KLOG_DEBUG("New MessageRefreshActivity");
}

void MessageRefreshActivity::onWork()
{
    KLOG_DEBUG("MessageRefreshActivity::onWork");
    sendUsageReport();
    int64_t now = s_testClock ? s_testClock() : int64_t(time(nullptr));
    // A last synchronization in the future counts as within the window.
    if (now >= 0 && now - KelVvmServiceValues::s_lastSyncTime <= kSyncWindowSeconds) {
        KLOG_DEBUG("MessageRefreshActivity::onWork - Skip message sync");
        complete(true);
        return;
    }
    KelVvmServiceValues::s_lastSyncTime = now;
    updateMailbox("lastSyncTime", JValue(now));
    syncMessages();
}

void MessageRefreshActivity::countOffline(const JValue& reply)
{
    bool returnValue = true;
    if (reply["returnValue"].asBool(returnValue) && !returnValue) {
        KelVvmServiceValues::s_offlineCounter++;
        updateMailbox("offlineCounter", JValue(KelVvmServiceValues::s_offlineCounter));
    }
}

void MessageRefreshActivity::onGetImsi(const JValue& reply)
{
    KLOG_DEBUG("MessageRefreshActivity::onGetImsi");
    countOffline(reply);
    KelVvmActivity::onGetImsi(reply);
}

void MessageRefreshActivity::onGetWanIp(const JValue& reply)
{
    KLOG_DEBUG("MessageRefreshActivity::onGetWanIp");
    countOffline(reply);
    KelVvmActivity::onGetWanIp(reply);
}

void MessageRefreshActivity::complete(bool restart)
{
    updateMailbox("refreshMessages", JValue(false));
    KelVvmActivity::complete(restart);
}
