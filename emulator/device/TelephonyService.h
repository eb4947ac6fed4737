// TelephonyService: com.quor.telephony: the SIM's IMSI, network codes and state.
#ifndef EMULATOR_TELEPHONYSERVICE_H
#define EMULATOR_TELEPHONYSERVICE_H

#include "DeviceService.h"

namespace emulator
{

// Configuration: {"imsi", "mcc", "mnc", "simState"}. An empty IMSI is a SIM that cannot be
// read: the IMSI query then fails.
class TelephonyService : public DeviceService
{
  public:
    TelephonyService(const JValue& config, DeviceContext context);

  private:
    JValue simStatus() const;

    std::string m_imsi;
    std::string m_mcc;
    std::string m_mnc;
    std::string m_simState;
    Subscribers m_simSubscribers;
};

} // namespace emulator

#endif
