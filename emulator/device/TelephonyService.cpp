// TelephonyService: com.quor.telephony: the SIM's IMSI, network codes and state.
#include "TelephonyService.h"

namespace emulator
{

namespace
{
const int kNoSim = -3200;

std::string stringOr(const JValue& config, const char* key, const char* fallback)
{
    std::string value;
    return config[key].asString(value) ? value : fallback;
}
} // namespace

TelephonyService::TelephonyService(const JValue& config, DeviceContext deviceContext)
    : DeviceService("com.quor.telephony", std::move(deviceContext)),
      m_imsi(stringOr(config, "imsi", "208101234567890")), m_mcc(stringOr(config, "mcc", "208")),
      m_mnc(stringOr(config, "mnc", "10")), m_simState(stringOr(config, "simState", "simready"))
{
    addMethod("imsiQuery", [this](TSMessage*, const JValue&) {
        if (m_imsi.empty())
            throw RequestError{kNoSim, "The SIM cannot be read"};
        JValue extended = JValue::object();
        extended.put("value", m_imsi);
        auto reply = std::make_unique<JValue>(success());
        reply->put("extended", extended);
        return reply;
    });
    addMethod("platformQuery", [this](TSMessage*, const JValue&) {
        JValue extended = JValue::object();
        extended.put("mcc", m_mcc);
        extended.put("mnc", m_mnc);
        auto reply = std::make_unique<JValue>(success());
        reply->put("extended", extended);
        return reply;
    });
    addMethod("simStatusQuery", [this](TSMessage* message, const JValue&) {
        if (TSMessageIsSubscription(message))
            m_simSubscribers.add(message);
        return std::make_unique<JValue>(simStatus());
    });
    addControl("setSim", [this](TSMessage*, const JValue& payload) {
        for (auto field : {std::make_pair("imsi", &m_imsi), std::make_pair("mcc", &m_mcc),
                           std::make_pair("mnc", &m_mnc)}) {
            if (payload.hasKey(field.first))
                *field.second = requireString(payload, field.first);
        }
        return std::make_unique<JValue>(success());
    });
    addControl("setSimState", [this](TSMessage*, const JValue& payload) {
        m_simState = requireString(payload, "state");
        m_simSubscribers.notify(simStatus().stringify());
        return std::make_unique<JValue>(success());
    });
}

JValue TelephonyService::simStatus() const
{
    JValue extended = JValue::object();
    extended.put("state", m_simState);
    JValue status = success();
    status.put("extended", extended);
    return status;
}

} // namespace emulator
