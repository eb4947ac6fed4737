// PropertyServices: com.quor.preferences (system properties) and com.quor.systemservice (system
// preferences), both key-value lookups over the configuration.
#include "PropertyServices.h"

namespace emulator
{

namespace
{
const int kUnknownKey = -3300;

JValue objectOr(const JValue& value)
{
    return value.isObject() ? value : JValue::object();
}

// A test changes a value: {"key", "value"}.
DeviceService::Method setter(JValue& values)
{
    return [&values](TSMessage*, const JValue& payload) {
        if (!payload.hasKey("value"))
            throw RequestError{-986, "\"value\" is required"};
        values.put(requireString(payload, "key"), payload["value"]);
        return std::make_unique<JValue>(DeviceService::success());
    };
}
} // namespace

PreferencesService::PreferencesService(const JValue& config, DeviceContext deviceContext)
    : DeviceService("com.quor.preferences", std::move(deviceContext), "/systemProperties"),
      m_properties(objectOr(config["systemProperties"]))
{
    addMethod("Get", [this](TSMessage*, const JValue& payload) {
        std::string key = requireString(payload, "key");
        if (!m_properties.hasKey(key))
            throw RequestError{kUnknownKey, "No system property " + key};
        auto reply = std::make_unique<JValue>(success());
        reply->put(key, m_properties[key]);
        return reply;
    });
    addControl("setProperty", setter(m_properties));
}

SystemService::SystemService(const JValue& config, DeviceContext deviceContext)
    : DeviceService("com.quor.systemservice", std::move(deviceContext)),
      m_preferences(objectOr(config["preferences"]))
{
    // Keys that are not known are left out of the reply, as the platform does.
    addMethod("getPreferences", [this](TSMessage*, const JValue& payload) {
        JValue keys = requireArray(payload, "keys");
        auto reply = std::make_unique<JValue>(success());
        for (size_t i = 0; i < keys.arraySize(); i++) {
            std::string key = keys[i].asString();
            if (m_preferences.hasKey(key))
                reply->put(key, m_preferences[key]);
        }
        return reply;
    });
    addControl("setPreference", setter(m_preferences));
}

} // namespace emulator
