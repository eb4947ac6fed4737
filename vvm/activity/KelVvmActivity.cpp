// KelVvmActivity: one unit of work, its life cycle against the platform activity manager, and
// the slots of its work chain.
#include "KelVvmActivity.h"

#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmServiceHost.h"
#include "KelVvmUtils.h"
#include "TamoMessage.h"

const std::string KelVvmActivity::s_smsScheduledActivity = "KelVvmSmsSched";
const std::string KelVvmActivity::s_refreshScheduledActivity = "KelVvmRefreshSched";
const char* const KelVvmActivity::s_erasingKey = "erasing";

namespace
{
const int kActivityErrorCode = 666;
uint64_t s_lastSerial = 0;
const char* const kScheduledMethod = "quor://com.quor.kelvvm/scheduled";

// A one-shot call whose outcome nobody waits for.
void sendAndForget(TSHandle* handle, const std::string& uri, JValue payload)
{
    try {
        TamoMessage::request(handle, uri, vtjsonToString(payload), nullptr, nullptr, 1, true);
    } catch (const std::exception& e) {
        KLOG_ERROR("%s: %s", uri.c_str(), e.what());
    }
}
} // namespace

// The context of one owned call: the wrapper deletes itself after its reply, so the record
// leaves the activity's list just before the handler runs, and the destructor deletes (and so
// cancels) only wrappers whose reply has not come.
struct KelVvmActivity::OwnedCall {
    KelVvmActivity* owner;
    TSMethodFunction handler;
    TamoMessage* wrapper;
};

KelVvmActivity::KelVvmActivity(TSMessage* message)
    : m_activityId(0), m_message(nullptr), m_canCreateMailbox(false), m_wipingAccount(false),
      m_mailboxCreated(false), m_retryInterval("15m"), m_activityType(0),
      m_params(JValue::object()), m_serviceHandle(nullptr), m_adoptionConfirmed(false),
      m_serial(++s_lastSerial)
{
    if (message) {
        m_params = vtjsonParse(TSMessageGetPayload(message));
        // Only once the payload is known to be good: a throwing constructor runs no destructor.
        TSMessageRef(message);
        m_message = message;
    }
    m_serviceHandle = KelVvmServiceHost::instance().m_serviceHandle;
}

KelVvmActivity::~KelVvmActivity()
{
    // Calls first, message last: the message's reference may be what keeps a closed bus
    // handle's memory alive for these cancellations.
    for (auto& call : m_calls)
        delete call->wrapper;
    m_calls.clear();
    for (TamoMessage* subscription : m_subscriptions) {
        subscription->cancel();
        delete subscription;
    }
    m_subscriptions.clear();
    if (m_message)
        TSMessageUnref(m_message);
}

void KelVvmActivity::ownedCall(TSMethodFunction handler, const CallIssuer& issue)
{
    m_calls.push_back(std::unique_ptr<OwnedCall>(new OwnedCall{this, handler, nullptr}));
    OwnedCall* call = m_calls.back().get();
    try {
        call->wrapper = issue(ownedCallReply, call);
    } catch (...) {
        m_calls.pop_back();
        throw;
    }
    if (!call->wrapper) {
        m_calls.pop_back();
    } else if (!call->wrapper->isOneShot()) {
        // The record goes with the first reply; a second one would find it gone.
        delete call->wrapper;
        m_calls.pop_back();
        throw std::logic_error("An activity's owned call must be one-shot");
    }
}

void KelVvmActivity::ownedRequest(const std::string& uri, const std::string& payload,
                                  TSMethodFunction handler)
{
    ownedCall(handler, [&](TSMethodFunction function, void* context) {
        return TamoMessage::request(m_serviceHandle, uri, payload, function, context, 1, true);
    });
}

bool KelVvmActivity::ownedCallReply(TSHandle* handle, TSMessage* reply, void* context)
{
    auto* call = static_cast<OwnedCall*>(context);
    KelVvmActivity* owner = call->owner;
    TSMethodFunction handler = call->handler;
    owner->m_calls.remove_if(
        [call](const std::unique_ptr<OwnedCall>& c) { return c.get() == call; });
    if (!handler)
        return true;
    // A handler that throws would otherwise leave its activity running for ever.
    uint64_t serial = owner->m_serial;
    std::string text;
    try {
        handler(handle, reply, owner);
        return true;
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "Unknown error";
    }
    KelVvmActivityMgr::getInstance()->endAfterError(serial, text,
                                                    &KelVvmActivity::failAndReschedule);
    return true;
}

void KelVvmActivity::answer(const std::string& payload)
{
    if (!m_message)
        return;
    TSError error;
    TSErrorInit(&error);
    if (!TSMessageRespond(m_message, payload.c_str(), &error))
        TSErrorFree(&error);
}

void KelVvmActivity::adopt(long long activityId)
{
    KLOG_DEBUG("KelVvmActivity::adopt: %lld", activityId);
    m_activityId = activityId;
    JValue payload = JValue::object();
    payload.put("activityId", int64_t(activityId));
    payload.put("subscribe", true);
    m_subscriptions.push_back(TamoMessage::subscribe(m_serviceHandle,
                                                     KelVvmActivityMgr::s_adoptActivity,
                                                     vtjsonToString(payload), adoptCallback, this));
}

// May delete the activity (a refused adoption) and with it the subscription that is delivering
// this reply; TamoMessage touches nothing of itself after a subscription's callback returns.
bool KelVvmActivity::adoptCallback(TSHandle*, TSMessage* reply, void* context)
{
    auto* activity = static_cast<KelVvmActivity*>(context);
    uint64_t serial = activity->m_serial;
    const char* text = TSMessageGetPayload(reply);
    KLOG_DEBUG("KelVvmActivity::adoptCallback: %s", LoggedPayload(text).c_str());
    try {
        JValue parsed = vtjsonParse(text);
        // Only an explicit false refuses: the later event replies carry no "returnValue".
        bool returnValue = true;
        parsed["returnValue"].asBool(returnValue);
        bool adopted = false;
        if (!returnValue) {
            // The caller was answered at adoption time: this line is all that tells why.
            KLOG_ERROR("KelVvmActivity::adoptCallback - adoption of %lld refused: %s",
                       (long long)activity->m_activityId, parsed["errorText"].asString().c_str());
            activity->m_activityId = 0;
            activity->fail("Adoption failed", kActivityErrorCode);
        } else if (parsed["adopted"].asBool(adopted) && adopted) {
            activity->dispatchEvent("adopted");
        } else if (parsed.hasKey("event")) {
            activity->dispatchEvent(parsed["event"].asString());
        }
    } catch (const std::exception& e) {
        KelVvmActivityMgr::getInstance()->endAfterError(serial, e.what(), &KelVvmActivity::fail);
    }
    return true;
}

void KelVvmActivity::dispatchEvent(const std::string& event)
{
    if (event == "start") {
        onStart();
    } else if (event == "stop") {
        onStop();
    } else if (event == "cancel") {
        onCancel();
    } else if (event == "pause") {
        onPause();
    } else if (event == "adopted") {
        if (m_adoptionConfirmed) {
            KLOG_DEBUG("KelVvmActivity::dispatchEvent - adoption already confirmed");
            return;
        }
        m_adoptionConfirmed = true;
        onAdopted();
    } else if (event == "focused") {
        onFocused();
    } else if (event == "unfocused") {
        onUnfocused();
    } else if (event == "orphan") {
        onOrphan();
    } else if (event == "event") {
        onComplete();
    }
}

void KelVvmActivity::onAdopted()
{
    KLOG_DEBUG("KelVvmActivity::onAdopted");
    m_wipingAccount = false;
    if (!m_retryActivityName.empty()) {
        JValue payload = JValue::object();
        payload.put("activityName", m_retryActivityName);
        sendAndForget(m_serviceHandle, KelVvmActivityMgr::s_cancelActivity, payload);
    }
    KelVvmActivityMgr::getInstance()->queueActivity(this);
}

bool KelVvmActivity::duplicates(const KelVvmActivity& other) const
{
    return other.m_activityType == m_activityType;
}

void KelVvmActivity::execute()
{
    getMailbox();
}

void KelVvmActivity::complete(bool restart)
{
    KLOG_DEBUG("KelVvmActivity::complete");
    if (m_activityId != 0) {
        KLOG_DEBUG("KelVvmActivity::complete - KelVvmActivity style");
        JValue payload = JValue::object();
        payload.put("activityId", m_activityId);
        payload.put("restart", restart);
        sendCompletion(payload);
        return;
    }
    if (m_message) {
        KLOG_DEBUG("KelVvmActivity::complete - Reply to Tamo Message %p", (void*)m_message);
        answer(TamoMessage::s_messageSuccess);
    }
    KelVvmActivityMgr::getInstance()->activityDone(this);
}

void KelVvmActivity::sendCompletion(JValue& payload)
{
    try {
        ownedRequest(KelVvmActivityMgr::s_completeActivity, vtjsonToString(payload),
                     completeCallback);
    } catch (const std::exception& e) {
        // Nobody would ever answer: the activity ends here as a refused completion does.
        KLOG_ERROR("%s", e.what());
        KelVvmActivityMgr::getInstance()->activityDone(this);
    }
}

bool KelVvmActivity::completeCallback(TSHandle*, TSMessage* reply, void* context)
{
    KLOG_DEBUG("KelVvmActivity::completeCallback: %s",
               LoggedPayload(TSMessageGetPayload(reply)).c_str());
    try {
        KelVvmActivityMgr::getInstance()->activityDone(static_cast<KelVvmActivity*>(context));
    } catch (const std::exception& e) {
        KLOG_ERROR("%s", e.what());
    }
    return true;
}

void KelVvmActivity::fail(const std::string& errorText, int errorCode)
{
    KLOG_DEBUG("KelVvmActivity::fail");
    if (m_activityId != 0) {
        complete(true);
        return;
    }
    if (m_message) {
        JValue payload = JValue::object();
        payload.put("returnValue", false);
        payload.put("errorText", errorText);
        payload.put("errorCode", int32_t(errorCode));
        answer(vtjsonToString(payload));
    }
    KelVvmActivityMgr::getInstance()->activityDone(this);
}

void KelVvmActivity::failAndReschedule(const std::string& errorText, int errorCode)
{
    KLOG_DEBUG("KelVvmActivity::failAndReschedule");
    if (!m_retryActivityName.empty()) {
        KLOG_DEBUG("Scheduling a retry activity");
        JValue activity = JValue::object();
        activity.put("name", m_retryActivityName);
        activity.put("description", "Schedule refresh for " + m_retryActivityName);
        JValue schedule = JValue::object();
        schedule.put("interval", m_retryInterval);
        activity.put("schedule", schedule);
        JValue callback = JValue::object();
        callback.put("method", kScheduledMethod);
        activity.put("callback", callback);
        JValue requirements = JValue::object();
        requirements.put("wan", true);
        activity.put("requirements", requirements);
        JValue payload = JValue::object();
        payload.put("activity", activity);
        payload.put("start", true);
        sendAndForget(m_serviceHandle, KelVvmActivityMgr::s_createActivity, payload);
    }
    fail(errorText, errorCode);
}

void KelVvmActivity::onWork()
{
    KLOG_ERROR("KelVvmActivity::onWork - this activity defines no work");
    fail("No work defined for this activity", kActivityErrorCode);
}
