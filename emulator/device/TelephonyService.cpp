// TelephonyService: com.quor.telephony: the SIM's IMSI, network codes and state.
#include "TelephonyService.h"

namespace emulator
{

namespace
{
const int kNoSim = -3200;
const int kBadRequest = -986;

std::string stringOr(const JValue& config, const char* key, const char* fallback)
{
    std::string value;
    return config[key].asString(value) ? value : fallback;
}

// An emulated delay of up to ten minutes; anything else is refused.
int delayMs(const JValue& payload)
{
    int32_t ms = 0;
    if (!payload["imsiDelayMs"].asNumber(ms) || ms < 0 || ms > 600000)
        throw RequestError{kBadRequest,
                           "\"imsiDelayMs\" must be a number of milliseconds, 0 to 600000"};
    return ms;
}
} // namespace

TelephonyService::TelephonyService(const JValue& config, DeviceContext deviceContext)
    : DeviceService("com.quor.telephony", std::move(deviceContext)),
      m_imsi(stringOr(config, "imsi", "208101234567890")), m_mcc(stringOr(config, "mcc", "208")),
      m_mnc(stringOr(config, "mnc", "10")), m_simState(stringOr(config, "simState", "simready"))
{
    addMethod("imsiQuery", [this](TSMessage* message, const JValue&) {
        if (m_imsi.empty())
            throw RequestError{kNoSim, "The SIM cannot be read"};
        JValue extended = JValue::object();
        extended.put("value", m_imsi);
        auto reply = std::make_unique<JValue>(success());
        reply->put("extended", extended);
        return m_imsiDelayMs > 0 ? answerLate(message, *reply) : std::move(reply);
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
        if (payload.hasKey("imsiDelayMs"))
            m_imsiDelayMs = delayMs(payload);
        return std::make_unique<JValue>(success());
    });
    addControl("setSimState", [this](TSMessage*, const JValue& payload) {
        m_simState = requireString(payload, "state");
        m_simSubscribers.notify(simStatus().stringify());
        return std::make_unique<JValue>(success());
    });
}

TelephonyService::~TelephonyService()
{
    dropLateAnswers();
}

void TelephonyService::stop()
{
    dropLateAnswers();
    DeviceService::stop();
}

std::unique_ptr<JValue> TelephonyService::answerLate(TSMessage* message, const JValue& reply)
{
    TSMessageRef(message);
    auto answer = std::make_unique<LateAnswer>(LateAnswer{this, message, reply.stringify(), 0});
    answer->timer = g_timeout_add(context().scaled(m_imsiDelayMs), onLate, answer.get());
    m_lateAnswers.push_back(std::move(answer));
    return nullptr;
}

gboolean TelephonyService::onLate(gpointer data)
{
    auto* answer = static_cast<LateAnswer*>(data);
    TSMessageRespond(answer->message, answer->payload.c_str(), nullptr);
    TSMessageUnref(answer->message);
    auto& answers = answer->owner->m_lateAnswers;
    for (auto it = answers.begin(); it != answers.end(); ++it) {
        if (it->get() == answer) {
            answers.erase(it);
            break;
        }
    }
    return G_SOURCE_REMOVE;
}

void TelephonyService::dropLateAnswers()
{
    for (auto& answer : m_lateAnswers) {
        g_source_remove(answer->timer);
        TSMessageUnref(answer->message);
    }
    m_lateAnswers.clear();
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
