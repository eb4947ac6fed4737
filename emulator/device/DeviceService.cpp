// DeviceService: one emulated platform service on its own bus name, with the "/" methods the
// daemons call and the "/emulator" methods through which tests change and read its state.
#include "DeviceService.h"

#include <glib.h>

#include <algorithm>
#include <stdexcept>

namespace emulator
{

namespace
{
const int kMalformed = -986;
const int kInternal = -5000;
const JSchemaFragment kAnyContainer("{\"type\":[\"object\",\"array\"]}");
// The "calls" control keeps this many of the latest calls, so a long run does not grow.
const size_t kKeptCalls = 256;
} // namespace

unsigned DeviceContext::scaled(double milliseconds) const
{
    double real = milliseconds / (timeScale > 0 ? timeScale : 1.0);
    return unsigned(std::max(1.0, std::min(real, 4e9)));
}

Subscribers::~Subscribers()
{
    clear();
}

void Subscribers::add(TSMessage* message)
{
    TSMessageRef(message);
    TSMessageSetCancelFunction(message, onCancel, this);
    m_messages.push_back(message);
}

void Subscribers::notify(const std::string& payload)
{
    std::vector<TSMessage*> messages = m_messages;
    for (TSMessage* message : messages)
        TSMessageRespond(message, payload.c_str(), nullptr);
}

void Subscribers::clear()
{
    for (TSMessage* message : m_messages) {
        TSMessageSetCancelFunction(message, nullptr, nullptr);
        TSMessageUnref(message);
    }
    m_messages.clear();
}

void Subscribers::onCancel(TSHandle*, TSMessage* message, void* context)
{
    auto* self = static_cast<Subscribers*>(context);
    auto found = std::find(self->m_messages.begin(), self->m_messages.end(), message);
    if (found == self->m_messages.end())
        return;
    self->m_messages.erase(found);
    TSMessageUnref(message);
}

DeviceService::DeviceService(std::string busName, DeviceContext context, std::string category)
    : m_busName(std::move(busName)), m_context(std::move(context))
{
    m_methods.owner = this;
    m_methods.path = std::move(category);
    m_controls.owner = this;
    m_controls.path = "/emulator";
    addControl("calls", [this](TSMessage*, const JValue&) {
        JValue calls = JValue::array();
        for (const JValue& call : m_calls)
            calls.append(call);
        auto reply = std::make_unique<JValue>(success());
        reply->put("calls", calls);
        return reply;
    });
}

DeviceService::~DeviceService()
{
    if (m_handle)
        TSUnregister(m_handle, nullptr);
}

void DeviceService::stop()
{
    if (m_handle)
        TSUnregister(m_handle, nullptr);
    m_handle = nullptr;
}

JValue DeviceService::success()
{
    JValue value = JValue::object();
    value.put("returnValue", true);
    return value;
}

void DeviceService::addMethod(const std::string& name, Method method)
{
    m_methods.methods[name] = std::move(method);
}

void DeviceService::addControl(const std::string& name, Method method)
{
    m_controls.methods[name] = std::move(method);
}

bool DeviceService::registerCategory(Category& category, std::string& error)
{
    category.table.clear();
    for (auto& entry : category.methods)
        category.table.push_back({entry.first.c_str(), dispatch, 0});
    category.table.push_back({nullptr, nullptr, 0});
    TSError tsError;
    TSErrorInit(&tsError);
    if (!TSRegisterCategory(m_handle, category.path.c_str(), category.table.data(), nullptr,
                            nullptr, &tsError) ||
        !TSCategorySetData(m_handle, category.path.c_str(), &category, &tsError)) {
        error = m_busName + category.path + ": " + (tsError.message ? tsError.message : "");
        TSErrorFree(&tsError);
        return false;
    }
    return true;
}

bool DeviceService::start(std::string& error)
{
    TSError tsError;
    TSErrorInit(&tsError);
    if (!TSRegister(m_busName.c_str(), &m_handle, &tsError)) {
        error = m_busName + ": " + (tsError.message ? tsError.message : "");
        TSErrorFree(&tsError);
        return false;
    }
    if (!registerCategory(m_methods, error) || !registerCategory(m_controls, error) ||
        !TSGmainAttach(m_handle, nullptr, &tsError)) {
        if (TSErrorIsSet(&tsError)) {
            error = m_busName + ": " + (tsError.message ? tsError.message : "");
            TSErrorFree(&tsError);
        }
        stop();
        return false;
    }
    onStarted();
    return true;
}

bool DeviceService::dispatch(TSHandle*, TSMessage* message, void* context)
{
    auto* category = static_cast<Category*>(context);
    category->owner->handle(*category, message);
    return true;
}

// Nothing a client sends may escape as an exception into the bus library or go unanswered.
void DeviceService::handle(Category& category, TSMessage* message)
{
    const char* method = TSMessageGetMethod(message);
    const char* payloadText = TSMessageGetPayload(message);
    std::unique_ptr<JValue> reply;
    int code = 0;
    std::string error;
    try {
        JDomParser parser;
        if (!parser.parse(payloadText ? payloadText : "", kAnyContainer) ||
            !parser.getDom().isObject())
            throw RequestError{kMalformed, "The payload must be a JSON object"};
        JValue payload = parser.getDom();
        if (&category == &m_methods) {
            JValue call = JValue::object();
            call.put("method", method);
            call.put("payload", payload);
            m_calls.push_back(call);
            if (m_calls.size() > kKeptCalls)
                m_calls.pop_front();
        }
        reply = category.methods.at(method)(message, payload);
        if (!reply)
            return;
    } catch (const RequestError& e) {
        code = e.code;
        error = e.text;
    } catch (const std::invalid_argument& e) {
        // What the servers' own checks of a request say.
        code = kMalformed;
        error = e.what();
    } catch (const std::exception& e) {
        code = kInternal;
        error = std::string("Internal error: ") + e.what();
    }
    if (!error.empty()) {
        JValue failure = JValue::object();
        failure.put("returnValue", false);
        failure.put("errorCode", int32_t(code));
        failure.put("errorText", error);
        reply = std::make_unique<JValue>(failure);
    }
    TSMessageRespond(message, reply->stringify().c_str(), nullptr);
}

std::string requireString(const JValue& payload, const std::string& key)
{
    std::string value;
    if (!payload[key].asString(value))
        throw RequestError{kMalformed, "\"" + key + "\" must be a string"};
    return value;
}

JValue requireObject(const JValue& payload, const std::string& key)
{
    JValue value = payload[key];
    if (!value.isObject())
        throw RequestError{kMalformed, "\"" + key + "\" must be an object"};
    return value;
}

JValue requireArray(const JValue& payload, const std::string& key)
{
    JValue value = payload[key];
    if (!value.isArray())
        throw RequestError{kMalformed, "\"" + key + "\" must be an array"};
    return value;
}

} // namespace emulator
