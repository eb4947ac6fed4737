// ApplicationManagerService: com.quor.applicationManager: applications opened on request.
#ifndef EMULATOR_APPLICATIONMANAGERSERVICE_H
#define EMULATOR_APPLICATIONMANAGERSERVICE_H

#include "DeviceService.h"

namespace emulator
{

// "open" {"id", "params"?} is remembered; the control "opened" lists the requests.
class ApplicationManagerService : public DeviceService
{
  public:
    ApplicationManagerService(const JValue& config, DeviceContext context);

  private:
    JValue m_opened;
};

} // namespace emulator

#endif
