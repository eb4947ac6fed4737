// TelephonyService: com.quor.telephony: the SIM's IMSI, network codes and state.
#ifndef EMULATOR_TELEPHONYSERVICE_H
#define EMULATOR_TELEPHONYSERVICE_H

#include "DeviceService.h"

#include <glib.h>

#include <memory>
#include <string>
#include <vector>

namespace emulator
{

// Configuration: {"imsi", "mcc", "mnc", "simState"}. An empty IMSI is a SIM that cannot be
// read: the IMSI query then fails. The control "setSim" may also set "imsiDelayMs" (emulated
// milliseconds): the IMSI is then answered that much later, as a busy modem would.
class TelephonyService : public DeviceService
{
  public:
    TelephonyService(const JValue& config, DeviceContext context);
    ~TelephonyService() override;
    void stop() override;

  private:
    struct LateAnswer {
        TelephonyService* owner;
        TSMessage* message;
        std::string payload;
        guint timer;
    };
    JValue simStatus() const;
    std::unique_ptr<JValue> answerLate(TSMessage* message, const JValue& reply);
    static gboolean onLate(gpointer answer);
    void dropLateAnswers();

    std::string m_imsi;
    std::string m_mcc;
    std::string m_mnc;
    std::string m_simState;
    int m_imsiDelayMs = 0;
    std::vector<std::unique_ptr<LateAnswer>> m_lateAnswers;
    Subscribers m_simSubscribers;
};

} // namespace emulator

#endif
