// PropertyServices: com.quor.preferences (system properties) and com.quor.systemservice (system
// preferences), both key-value lookups over the configuration.
#ifndef EMULATOR_PROPERTYSERVICES_H
#define EMULATOR_PROPERTYSERVICES_H

#include "DeviceService.h"

namespace emulator
{

// Configuration: {"systemProperties": {key: text}}. "Get" {"key"} in "/systemProperties".
class PreferencesService : public DeviceService
{
  public:
    PreferencesService(const JValue& config, DeviceContext context);

  private:
    JValue m_properties;
};

// Configuration: {"preferences": {key: value}}. "getPreferences" {"keys": [...]}.
class SystemService : public DeviceService
{
  public:
    SystemService(const JValue& config, DeviceContext context);

  private:
    JValue m_preferences;
};

} // namespace emulator

#endif
