// KelVvmActivityMgr: owns every activity, has the platform's activities adopted, and runs the
// queued ones one at a time.
#include "KelVvmActivityMgr.h"

#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmServiceHost.h"
#include "KelVvmServiceValues.h"
#include "TamoMessage.h"

#include <glib.h>
#include <malloc.h>

const std::string KelVvmActivityMgr::s_adoptActivity = "quor://com.quor.activitymanager/adopt";
const std::string KelVvmActivityMgr::s_cancelActivity = "quor://com.quor.activitymanager/cancel";
const std::string KelVvmActivityMgr::s_createActivity = "quor://com.quor.activitymanager/create";
const std::string KelVvmActivityMgr::s_completeActivity =
    "quor://com.quor.activitymanager/complete";

std::unique_ptr<KelVvmActivityMgr>
    KelVvmActivityMgr::s_activityMgrInstance(new KelVvmActivityMgr());

namespace
{
const int kActivityErrorCode = 666;
const int kIdleSeconds = 30;

// A synchronization frees what it held (the records read back, the call list, the answers) as it
// ends, but the C library keeps those pages for as long as anything allocated after them sits
// above them in the heap: about a megabyte once the records are read back. With nothing left to run
// they go back to the system, after the handler that freed them has returned and the replies
// already queued have been handled.
gboolean releaseFreedMemory(gpointer)
{
    malloc_trim(0);
    return G_SOURCE_REMOVE;
}

void respond(KelVvmActivity* activity, const char* payload)
{
    if (!activity->m_message)
        return;
    TSError error;
    TSErrorInit(&error);
    if (!TSMessageRespond(activity->m_message, payload, &error))
        TSErrorFree(&error);
}
} // namespace

KelVvmActivityMgr* KelVvmActivityMgr::getInstance()
{
    if (!s_activityMgrInstance)
        s_activityMgrInstance.reset(new KelVvmActivityMgr());
    return s_activityMgrInstance.get();
}

KelVvmActivityMgr::KelVvmActivityMgr() : m_current(nullptr)
{
    // Static initialization may reach here before the log context's own initializer; both
    // fetch the same context.
    if (!gLogContext)
        gLogContext = QmLogGetContext("kelvvm");
    KLOG_DEBUG("New KelVvmActrivityMgr");
}

KelVvmActivityMgr::~KelVvmActivityMgr()
{
    cleanActivities();
}

void KelVvmActivityMgr::cleanActivities()
{
    if (m_activities.empty())
        return;
    KLOG_WARNING("KelVvmActivityMgr cleaning activities (should not happen often)");
    std::set<KelVvmActivity*> activities;
    activities.swap(m_activities);
    m_queue.clear();
    m_current = nullptr;
    for (KelVvmActivity* activity : activities)
        delete activity;
}

KelVvmActivity* KelVvmActivityMgr::alive(uint64_t serial) const
{
    for (KelVvmActivity* activity : m_activities) {
        if (activity->serial() == serial)
            return activity;
    }
    return nullptr;
}

void KelVvmActivityMgr::queueActivity(KelVvmActivity* activity)
{
    KLOG_DEBUG("KelVvmActrivityMgr::queueActivity");
    m_activities.insert(activity);
    if (activity == m_current) {
        // Not at once: the handler that asked for it still runs on this activity, and a
        // restarted chain that ends at once would delete the activity under it.
        KLOG_DEBUG("KelVvmActrivityMgr::queueActivity - Restarting the running activity");
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, restartRunning, new uint64_t(activity->serial()),
                        [](void* serial) { delete static_cast<uint64_t*>(serial); });
        return;
    }
    for (KelVvmActivity* queued : m_queue) {
        if (queued == activity) {
            KLOG_DEBUG("KelVvmActrivityMgr::queueActivity - Already queued");
            return;
        }
    }
    if (hasDuplicate(activity)) {
        KLOG_DEBUG("KelVvmActrivityMgr::processQueue - Ignoring duplicate");
        activity->complete(true);
    } else {
        m_queue.push_back(activity);
    }
    processQueue();
}

bool KelVvmActivityMgr::hasDuplicate(KelVvmActivity* activity)
{
    for (KelVvmActivity* queued : m_queue) {
        if (queued != activity && activity->duplicates(*queued))
            return true;
    }
    return false;
}

void KelVvmActivityMgr::processQueue()
{
    KLOG_DEBUG("KelVvmActrivityMgr::processQueue");
    if (m_current)
        return;
    if (!m_queue.empty()) {
        KLOG_DEBUG("KelVvmActrivityMgr::processQueue - Something in the queue");
        m_current = m_queue.front();
        m_queue.pop_front();
        runStep(m_current, &KelVvmActivity::execute);
    } else if (m_activities.empty()) {
        KLOG_DEBUG("KelVvmActrivityMgr::processQueue - Start idle timer");
        KelVvmServiceHost::instance().startIdleTimer(kIdleSeconds);
        g_idle_add_full(G_PRIORITY_LOW, releaseFreedMemory, nullptr, nullptr);
    }
}

int KelVvmActivityMgr::restartRunning(void* serial)
{
    KelVvmActivityMgr* self = getInstance();
    KelVvmActivity* activity = self->alive(*static_cast<uint64_t*>(serial));
    // It may have ended meanwhile (a refused adoption, process exit).
    if (activity && activity == self->m_current)
        self->runStep(activity, &KelVvmActivity::getMailbox);
    return G_SOURCE_REMOVE;
}

void KelVvmActivityMgr::runStep(KelVvmActivity* activity, void (KelVvmActivity::*step)())
{
    uint64_t serial = activity->serial();
    std::string text;
    try {
        (activity->*step)();
        return;
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "Unknown error";
    }
    endAfterError(serial, text, &KelVvmActivity::fail);
}

void KelVvmActivityMgr::endAfterError(uint64_t serial, const std::string& text,
                                      void (KelVvmActivity::*end)(const std::string&, int))
{
    KLOG_ERROR("%s", text.c_str());
    KelVvmActivity* activity = alive(serial);
    if (!activity)
        return;
    try {
        (activity->*end)(text, kActivityErrorCode);
    } catch (...) {
        KLOG_ERROR("Ending the activity failed too; dropping it");
        if (KelVvmActivity* still = alive(serial))
            activityDone(still);
    }
}

void KelVvmActivityMgr::activityDone(KelVvmActivity* activity)
{
    KLOG_DEBUG("KelVvmActrivityMgr::activityDone");
    if (m_activities.erase(activity) == 0) {
        // Deleting twice would corrupt the heap; a second report is a bug worth a line.
        KLOG_ERROR("activityDone for an activity that is not alive");
        return;
    }
    m_queue.remove(activity);
    bool wasCurrent = activity == m_current;
    delete activity;
    if (wasCurrent)
        m_current = nullptr;
    processQueue();
}

void KelVvmActivityMgr::adoptAndQueueActivity(KelVvmActivity* activity)
{
    KLOG_DEBUG("KelVvmActrivityMgr::adoptAndQueueActivity");
    m_activities.insert(activity);
    try {
        const JValue& params = activity->m_params;
        bool returnValue = true;
        if (params.hasKey("returnValue") && params["returnValue"].asBool(returnValue) &&
            !returnValue)
            throw KelVvmActivityException("Trigger error");
        if (!params.hasKey("$activity"))
            throw KelVvmActivityException("Must be called by the activity manager");
        if (params.hasKey("requirements")) {
            KelVvmServiceValues::s_wanIpAddress =
                params["requirements"]["wan"]["ipAddress"].asString();
            KLOG_INFO("WAN IP: %s", KelVvmServiceValues::s_wanIpAddress.c_str());
        }
        int64_t id = 0;
        // Without a positive integer id there is no platform activity to adopt, and 0 would
        // read as "not adopted" when the activity ends.
        if (!params["$activity"]["activityId"].asNumber(id) || id <= 0)
            throw KelVvmActivityException("Must be called by the activity manager");
        activity->adopt(id);
        respond(activity, TamoMessage::s_messageSuccess);
    } catch (const std::exception& e) {
        KLOG_ERROR("%s", e.what());
        respond(activity, TamoMessage::s_messageFailure);
        activityDone(activity);
    }
}
