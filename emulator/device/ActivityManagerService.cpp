// ActivityManagerService: com.quor.activitymanager: stored activities, their triggers,
// schedules and WAN requirement, the callback when they are due, adoption and completion.
#include "ActivityManagerService.h"

#include "JsonMatch.h"
#include "qmlog.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace emulator
{

namespace
{
const int kBadRequest = -986;
const int kNotFound = -3106;
const int kNameInUse = -3107;
const int kCancelled = -3108;
// A callee that refused or could not be reached is tried again after this much emulated time,
// so that a trigger that still holds does not spin.
const double kRetryMs = 60000;
const char* const kConnectionStatus = "quor://com.quor.connectionmanager/getStatus";

QmLogContext* logContext()
{
    return QmLogGetContext("nimbos-emulator");
}

[[noreturn]] void bad(const std::string& text)
{
    throw RequestError{kBadRequest, text};
}

JValue copyOf(const JValue& value)
{
    JDomParser parser;
    parser.parse(value.stringify(), JSchemaFragment("{\"type\":[\"object\",\"array\"]}"));
    return parser.getDom();
}

// A method the activity will call: a URI the bus can carry.
void checkMethod(const JValue& method, const char* what)
{
    TSError error;
    TSErrorInit(&error);
    if (!method.isString())
        bad(std::string(what) + " needs a \"method\"");
    if (!TSUriCheck(method.asString().c_str(), &error)) {
        std::string text = std::string(what) + "'s \"method\": " + error.message;
        TSErrorFree(&error);
        bad(text);
    }
}

void checkTrigger(const JValue& trigger)
{
    if (!trigger.isObject())
        bad("A trigger must be an object");
    checkMethod(trigger["method"], "A trigger");
    if (trigger.hasKey("params") && !trigger["params"].isObject())
        bad("Trigger \"params\" must be an object");
    if (trigger.hasKey("where")) {
        JValue where = trigger["where"];
        JValue prop = where["prop"];
        bool propOk = prop.isString() || (prop.isArray() && prop.arraySize() > 0);
        for (size_t i = 0; prop.isArray() && i < prop.arraySize(); i++)
            propOk = propOk && prop[i].isString();
        if (!where.isObject() || !propOk || !isOperator(where["op"].asString()) ||
            !where.hasKey("val"))
            bad("A trigger's \"where\" needs \"prop\", \"op\" and \"val\"");
    } else if (trigger.hasKey("key") && !trigger["key"].isString()) {
        bad("A trigger's \"key\" must be a string");
    }
}

bool triggerHolds(const JValue& trigger, const JValue& reply)
{
    if (trigger.hasKey("where")) {
        JValue where = trigger["where"];
        return compare(valueAt(reply, where["prop"]), where["op"].asString(), where["val"]);
    }
    if (trigger.hasKey("key"))
        return reply[trigger["key"].asString()].asBool();
    return true;
}

JValue parseReply(TSMessage* reply)
{
    JDomParser parser;
    if (!parser.parse(TSMessageGetPayload(reply), JSchemaFragment("{\"type\":\"object\"}")))
        return JValue::object();
    return parser.getDom();
}

bool refused(const JValue& reply)
{
    bool returnValue = true;
    reply["returnValue"].asBool(returnValue);
    return !returnValue;
}
} // namespace

struct ActivityManagerService::Activity {
    ActivityManagerService* owner;
    int64_t id;
    std::string name;
    JValue definition;
    double intervalMs = -1;
    bool needsWan = false;
    // waiting (trigger or schedule), wan (due, waiting for the WAN), calling (callback sent),
    // running (adopted, waiting for its completion).
    std::string state = "created";
    bool triggerMet = false;
    bool scheduleMet = false;
    JValue triggerReply;
    guint timer = 0;
    // When the timer comes due, on the monotonic clock: "advance" moves it closer.
    gint64 timerDueUs = 0;
    bool timerRearms = false;
    TSMessageToken triggerToken = 0;
    TSMessageToken wanToken = 0;
    TSMessageToken callbackToken = 0;
    TSMessage* adopter = nullptr;
    int64_t callbacks = 0;
};

double ActivityManagerService::intervalMilliseconds(const std::string& interval)
{
    if (interval.size() < 2)
        return -1;
    char* end = nullptr;
    long long count = strtoll(interval.c_str(), &end, 10);
    if (end == interval.c_str() || count <= 0 || std::string(end).size() != 1 ||
        interval[0] == '+' || interval[0] == ' ')
        return -1;
    switch (*end) {
    case 's':
        return double(count) * 1000;
    case 'm':
        return double(count) * 60000;
    case 'h':
        return double(count) * 3600000;
    case 'd':
        return double(count) * 86400000;
    }
    return -1;
}

ActivityManagerService::ActivityManagerService(const JValue& config, DeviceContext deviceContext,
                                               const std::string& configDir)
    : DeviceService("com.quor.activitymanager", std::move(deviceContext))
{
    addMethod("create", [this](TSMessage*, const JValue& payload) { return create(payload); });
    addMethod("adopt", [this](TSMessage* message, const JValue& payload) {
        return adopt(message, payload);
    });
    addMethod("complete", [this](TSMessage*, const JValue& payload) { return complete(payload); });
    addMethod("cancel", [this](TSMessage*, const JValue& payload) { return cancel(payload); });
    addControl("activities", [this](TSMessage*, const JValue&) { return list(); });
    addControl("sendEvent",
               [this](TSMessage*, const JValue& payload) { return sendEvent(payload); });
    addControl("advance", [this](TSMessage*, const JValue& payload) { return advance(payload); });
    JValue files = config["activityFiles"];
    for (size_t i = 0; i < files.arraySize(); i++) {
        std::string path = files[i].asString();
        loadFile(path.empty() || path[0] == '/' ? path : configDir + "/" + path);
    }
}

ActivityManagerService::~ActivityManagerService()
{
    stop();
}

void ActivityManagerService::stop()
{
    for (auto& entry : m_activities) {
        disarm(*entry.second);
        releaseAdopter(*entry.second);
    }
    DeviceService::stop();
}

void ActivityManagerService::onStarted()
{
    for (int64_t id : m_toArm) {
        auto found = m_activities.find(id);
        if (found != m_activities.end())
            arm(*found->second);
    }
    m_toArm.clear();
}

void ActivityManagerService::loadFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    JDomParser parser;
    if (!file || !parser.parse(text.str(), JSchemaFragment("{\"type\":[\"object\",\"array\"]}")))
        throw std::runtime_error("Cannot read the activity file " + path);
    JValue content = parser.getDom();
    JValue entries = content;
    if (content.isObject()) {
        entries = JValue::array();
        entries.append(content);
    }
    for (size_t i = 0; i < entries.arraySize(); i++) {
        try {
            create(entries[i]);
        } catch (const RequestError& e) {
            throw std::runtime_error(path + ": " + e.text);
        }
    }
}

std::unique_ptr<JValue> ActivityManagerService::create(const JValue& payload)
{
    JValue definition = copyOf(requireObject(payload, "activity"));
    std::string name = requireString(definition, "name");
    if (name.empty())
        bad("An activity needs a name");
    for (auto& entry : m_activities) {
        if (entry.second->name == name)
            throw RequestError{kNameInUse, "An activity named " + name + " exists already"};
    }
    if (definition.hasKey("trigger"))
        checkTrigger(definition["trigger"]);
    if (definition.hasKey("schedule") &&
        intervalMilliseconds(definition["schedule"]["interval"].asString()) <= 0)
        bad("A schedule needs an \"interval\" such as \"15m\"");
    checkMethod(definition["callback"]["method"], "An activity's \"callback\"");
    if (definition.hasKey("requirements") && !definition["requirements"].isObject())
        bad("\"requirements\" must be an object");
    bool start = true;
    if (payload.hasKey("start") && !payload["start"].asBool(start))
        bad("\"start\" must be a boolean");
    auto reply = std::make_unique<JValue>(success());
    reply->put("activityId", add(definition, start));
    return reply;
}

int64_t ActivityManagerService::add(const JValue& definition, bool start)
{
    auto activity = std::make_unique<Activity>();
    activity->owner = this;
    activity->id = m_nextId++;
    activity->name = definition["name"].asString();
    activity->definition = definition;
    if (definition.hasKey("schedule"))
        activity->intervalMs = intervalMilliseconds(definition["schedule"]["interval"].asString());
    activity->needsWan = definition["requirements"]["wan"].asBool();
    Activity& stored = *activity;
    m_activities[activity->id] = std::move(activity);
    QMLOG(logContext(), QMLOG_LEVEL_INFO, "activity %lld %s created", (long long)stored.id,
          stored.name.c_str());
    if (start && handle())
        arm(stored);
    else if (start)
        m_toArm.push_back(stored.id);
    return stored.id;
}

ActivityManagerService::Activity& ActivityManagerService::byId(const JValue& payload)
{
    int64_t id = 0;
    if (!payload["activityId"].asNumber(id))
        bad("\"activityId\" must be a number");
    auto found = m_activities.find(id);
    if (found == m_activities.end())
        throw RequestError{kNotFound, "No activity " + std::to_string(id)};
    return *found->second;
}

std::unique_ptr<JValue> ActivityManagerService::adopt(TSMessage* message, const JValue& payload)
{
    Activity& activity = byId(payload);
    if (activity.adopter)
        throw RequestError{kBadRequest, "Activity " + activity.name + " is adopted already"};
    JValue reply = success();
    reply.put("adopted", true);
    if (TSMessageIsSubscription(message)) {
        TSMessageRef(message);
        TSMessageSetCancelFunction(message, onAdopterGone, &activity);
        activity.adopter = message;
    }
    return std::make_unique<JValue>(reply);
}

std::unique_ptr<JValue> ActivityManagerService::complete(const JValue& payload)
{
    Activity& activity = byId(payload);
    bool restart = false;
    if (payload.hasKey("restart") && !payload["restart"].asBool(restart))
        bad("\"restart\" must be a boolean");
    // A callee whose work failed while its trigger still holds asks for a pause before the
    // next call instead of being called again at once.
    double delayMs = 0;
    if (payload.hasKey("delay")) {
        delayMs = intervalMilliseconds(payload["delay"].asString());
        if (delayMs <= 0)
            bad("A \"delay\" is an interval such as \"1m\"");
        if (!restart)
            bad("A \"delay\" needs \"restart\": true");
    }
    if (payload.hasKey("trigger")) {
        checkTrigger(payload["trigger"]);
        activity.definition.put("trigger", copyOf(payload["trigger"]));
    }
    releaseAdopter(activity);
    if (restart) {
        arm(activity, delayMs);
    } else {
        remove(activity);
    }
    return std::make_unique<JValue>(success());
}

std::unique_ptr<JValue> ActivityManagerService::cancel(const JValue& payload)
{
    Activity* activity = nullptr;
    if (payload.hasKey("activityName")) {
        std::string name = requireString(payload, "activityName");
        for (auto& entry : m_activities) {
            if (entry.second->name == name)
                activity = entry.second.get();
        }
        if (!activity)
            throw RequestError{kNotFound, "No activity named " + name};
    } else {
        activity = &byId(payload);
    }
    if (activity->adopter) {
        // The adopter learns that its activity is gone; the adoption ends with it.
        JValue gone = JValue::object();
        gone.put("returnValue", false);
        gone.put("errorCode", int32_t(kCancelled));
        gone.put("errorText", "Activity cancelled");
        TSMessageRespond(activity->adopter, gone.stringify().c_str(), nullptr);
    }
    remove(*activity);
    return std::make_unique<JValue>(success());
}

std::unique_ptr<JValue> ActivityManagerService::list()
{
    JValue activities = JValue::array();
    for (auto& entry : m_activities) {
        const Activity& activity = *entry.second;
        JValue item = JValue::object();
        item.put("activityId", activity.id);
        item.put("name", activity.name);
        item.put("state", activity.state);
        item.put("adopted", activity.adopter != nullptr);
        item.put("callbacks", activity.callbacks);
        item.put("activity", activity.definition);
        activities.append(item);
    }
    auto reply = std::make_unique<JValue>(success());
    reply->put("activities", activities);
    return reply;
}

std::unique_ptr<JValue> ActivityManagerService::sendEvent(const JValue& payload)
{
    Activity& activity = byId(payload);
    std::string event = requireString(payload, "event");
    if (!activity.adopter)
        throw RequestError{kBadRequest, "Activity " + activity.name + " is not adopted"};
    JValue reply = JValue::object();
    reply.put("event", event);
    TSMessageRespond(activity.adopter, reply.stringify().c_str(), nullptr);
    return std::make_unique<JValue>(success());
}

std::unique_ptr<JValue> ActivityManagerService::advance(const JValue& payload)
{
    double seconds = 0;
    if (!payload["seconds"].asNumber(seconds) || seconds < 0)
        bad("\"seconds\" must be a number of at least 0");
    int64_t due = 0;
    gint64 now = g_get_monotonic_time();
    for (auto& entry : m_activities) {
        Activity& activity = *entry.second;
        if (!activity.timer)
            continue;
        double leftMs = double(activity.timerDueUs - now) / 1000 * context().timeScale;
        leftMs -= seconds * 1000;
        g_source_remove(activity.timer);
        activity.timer = 0;
        // Fired from the loop, as the timer would have been: its work may call out.
        startTimer(activity, std::max(0.0, leftMs), activity.timerRearms);
        due += leftMs <= 0;
    }
    auto reply = std::make_unique<JValue>(success());
    reply->put("due", due);
    return reply;
}

void ActivityManagerService::startTimer(Activity& activity, double emulatedMs, bool rearms)
{
    unsigned realMs = emulatedMs > 0 ? context().scaled(emulatedMs) : 0;
    activity.timerRearms = rearms;
    activity.timerDueUs = g_get_monotonic_time() + gint64(realMs) * 1000;
    activity.timer = g_timeout_add(realMs, onTimer, &activity);
}

void ActivityManagerService::arm(Activity& activity, double delayMs)
{
    // One timer and one call at a time: a timer left behind would outlive the activity.
    disarm(activity);
    activity.state = "waiting";
    activity.triggerMet = !activity.definition.hasKey("trigger");
    activity.scheduleMet = activity.intervalMs < 0;
    activity.triggerReply = JValue();
    if (delayMs > 0) {
        // Everything waits for this pause first; the timer arms the rest.
        startTimer(activity, delayMs, true);
        return;
    }
    if (!activity.scheduleMet)
        startTimer(activity, activity.intervalMs, false);
    if (!activity.triggerMet)
        subscribeTrigger(activity);
    maybeFire(activity);
}

void ActivityManagerService::disarm(Activity& activity)
{
    if (activity.timer)
        g_source_remove(activity.timer);
    activity.timer = 0;
    for (TSMessageToken* token :
         {&activity.triggerToken, &activity.wanToken, &activity.callbackToken}) {
        if (*token && handle())
            TSCallCancel(handle(), *token, nullptr);
        *token = 0;
    }
}

void ActivityManagerService::releaseAdopter(Activity& activity)
{
    if (!activity.adopter)
        return;
    TSMessageSetCancelFunction(activity.adopter, nullptr, nullptr);
    TSMessageUnref(activity.adopter);
    activity.adopter = nullptr;
}

void ActivityManagerService::remove(Activity& activity)
{
    QMLOG(logContext(), QMLOG_LEVEL_INFO, "activity %lld %s removed", (long long)activity.id,
          activity.name.c_str());
    disarm(activity);
    releaseAdopter(activity);
    m_activities.erase(activity.id);
}

void ActivityManagerService::subscribeTrigger(Activity& activity)
{
    JValue trigger = activity.definition["trigger"];
    JValue params = trigger.hasKey("params") ? copyOf(trigger["params"]) : JValue::object();
    params.put("subscribe", true);
    TSError error;
    TSErrorInit(&error);
    if (!TSCall(handle(), trigger["method"].asString().c_str(), params.stringify().c_str(),
                onTriggerReply, &activity, &activity.triggerToken, &error)) {
        QMLOG(logContext(), QMLOG_LEVEL_WARNING, "trigger of %s: %s", activity.name.c_str(),
              error.message ? error.message : "");
        TSErrorFree(&error);
        arm(activity, kRetryMs);
    }
}

void ActivityManagerService::maybeFire(Activity& activity)
{
    if (!activity.triggerMet || !activity.scheduleMet)
        return;
    if (!activity.needsWan) {
        callCallback(activity, JValue());
        return;
    }
    activity.state = "wan";
    TSError error;
    TSErrorInit(&error);
    if (!TSCall(handle(), kConnectionStatus, "{\"subscribe\":true}", onWanReply, &activity,
                &activity.wanToken, &error)) {
        TSErrorFree(&error);
        arm(activity, kRetryMs);
    }
}

void ActivityManagerService::callCallback(Activity& activity, const JValue& wan)
{
    JValue described = JValue::object();
    described.put("activityId", activity.id);
    described.put("name", activity.name);
    if (activity.definition.hasKey("trigger"))
        described.put("trigger", activity.triggerReply);
    JValue payload = JValue::object();
    payload.put("$activity", described);
    if (activity.needsWan) {
        JValue requirements = JValue::object();
        requirements.put("wan", wan);
        payload.put("requirements", requirements);
    }
    activity.state = "calling";
    activity.callbacks++;
    std::string method = activity.definition["callback"]["method"].asString();
    QMLOG(logContext(), QMLOG_LEVEL_INFO, "activity %s calls %s", activity.name.c_str(),
          method.c_str());
    TSError error;
    TSErrorInit(&error);
    if (!TSCallOneReply(handle(), method.c_str(), payload.stringify().c_str(), onCallbackReply,
                        &activity, &activity.callbackToken, &error)) {
        TSErrorFree(&error);
        arm(activity, kRetryMs);
    }
}

gboolean ActivityManagerService::onTimer(gpointer context)
{
    auto* activity = static_cast<Activity*>(context);
    activity->timer = 0;
    if (activity->timerRearms) {
        activity->owner->arm(*activity);
    } else {
        activity->scheduleMet = true;
        activity->owner->maybeFire(*activity);
    }
    return G_SOURCE_REMOVE;
}

bool ActivityManagerService::onTriggerReply(TSHandle* handle, TSMessage* reply, void* context)
{
    auto* activity = static_cast<Activity*>(context);
    JValue parsed = parseReply(reply);
    bool final = TSMessageIsFinal(reply);
    if (!refused(parsed) && triggerHolds(activity->definition["trigger"], parsed)) {
        TSCallCancel(handle, activity->triggerToken, nullptr);
        activity->triggerToken = 0;
        activity->triggerMet = true;
        activity->triggerReply = parsed;
        activity->owner->maybeFire(*activity);
    } else if (final) {
        // The trigger's service ended the subscription without the trigger holding.
        activity->triggerToken = 0;
        activity->owner->arm(*activity, kRetryMs);
    }
    return true;
}

bool ActivityManagerService::onWanReply(TSHandle* handle, TSMessage* reply, void* context)
{
    auto* activity = static_cast<Activity*>(context);
    JValue parsed = parseReply(reply);
    JValue wan = parsed["wan"];
    if (!refused(parsed) && wan.isObject() && wan["state"].asString() != "disconnected") {
        TSCallCancel(handle, activity->wanToken, nullptr);
        activity->wanToken = 0;
        activity->owner->callCallback(*activity, wan);
    } else if (TSMessageIsFinal(reply)) {
        activity->wanToken = 0;
        activity->owner->arm(*activity, kRetryMs);
    }
    return true;
}

bool ActivityManagerService::onCallbackReply(TSHandle*, TSMessage* reply, void* context)
{
    auto* activity = static_cast<Activity*>(context);
    activity->callbackToken = 0;
    ActivityManagerService* self = activity->owner;
    if (refused(parseReply(reply))) {
        QMLOG(logContext(), QMLOG_LEVEL_WARNING, "callback of %s refused: %s",
              activity->name.c_str(), TSMessageGetPayload(reply));
        self->arm(*activity, kRetryMs);
    } else if (activity->adopter) {
        activity->state = "running";
    } else {
        // Nobody adopted it: the call itself was the whole of its work.
        self->remove(*activity);
    }
    return true;
}

void ActivityManagerService::onAdopterGone(TSHandle*, TSMessage* message, void* context)
{
    auto* activity = static_cast<Activity*>(context);
    if (activity->adopter != message)
        return;
    activity->adopter = nullptr;
    TSMessageUnref(message);
    // Left without completing: the activity waits for its next trigger.
    if (activity->state == "running")
        activity->owner->arm(*activity);
}

} // namespace emulator
