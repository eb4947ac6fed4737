// ApplicationManagerService: com.quor.applicationManager: applications opened on request.
#include "ApplicationManagerService.h"

namespace emulator
{

ApplicationManagerService::ApplicationManagerService(const JValue&, DeviceContext deviceContext)
    : DeviceService("com.quor.applicationManager", std::move(deviceContext)),
      m_opened(JValue::array())
{
    addMethod("open", [this](TSMessage*, const JValue& payload) {
        requireString(payload, "id");
        if (payload.hasKey("params"))
            requireObject(payload, "params");
        m_opened.append(payload);
        return std::make_unique<JValue>(success());
    });
    addControl("opened", [this](TSMessage*, const JValue&) {
        auto reply = std::make_unique<JValue>(success());
        reply->put("opened", m_opened);
        return reply;
    });
}

} // namespace emulator
