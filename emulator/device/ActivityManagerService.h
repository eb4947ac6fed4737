// ActivityManagerService: com.quor.activitymanager: stored activities, their triggers,
// schedules and WAN requirement, the callback when they are due, adoption and completion.
#ifndef EMULATOR_ACTIVITYMANAGERSERVICE_H
#define EMULATOR_ACTIVITYMANAGERSERVICE_H

#include "DeviceService.h"

#include <glib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace emulator
{

// Configuration: {"activityFiles": [paths, relative to `configDir`]}, each file holding
// {"activity": A} or an array of them, created at start.
class ActivityManagerService : public DeviceService
{
  public:
    ActivityManagerService(const JValue& config, DeviceContext context,
                           const std::string& configDir);
    ~ActivityManagerService() override;
    void stop() override;

    // "15m" and the like in milliseconds; -1 when malformed.
    static double intervalMilliseconds(const std::string& interval);

  protected:
    void onStarted() override;

  private:
    struct Activity;

    std::unique_ptr<JValue> create(const JValue& payload);
    std::unique_ptr<JValue> adopt(TSMessage* message, const JValue& payload);
    std::unique_ptr<JValue> complete(const JValue& payload);
    std::unique_ptr<JValue> cancel(const JValue& payload);
    std::unique_ptr<JValue> list();
    std::unique_ptr<JValue> sendEvent(const JValue& payload);
    // Moves emulated time on by "seconds" for every waiting timer; those due fire.
    std::unique_ptr<JValue> advance(const JValue& payload);
    Activity& byId(const JValue& payload);
    int64_t add(const JValue& definition, bool start);
    void loadFile(const std::string& path);

    // Waits for the trigger and the schedule again, after `delayMs` of emulated time.
    void arm(Activity& activity, double delayMs = 0);
    void disarm(Activity& activity);
    // The activity's one timer, due after `emulatedMs`; `rearms` for a pause before arming.
    void startTimer(Activity& activity, double emulatedMs, bool rearms);
    void remove(Activity& activity);
    void releaseAdopter(Activity& activity);
    void subscribeTrigger(Activity& activity);
    void maybeFire(Activity& activity);
    void callCallback(Activity& activity, const JValue& wan);

    static gboolean onTimer(gpointer activity);
    static bool onTriggerReply(TSHandle* handle, TSMessage* reply, void* activity);
    static bool onWanReply(TSHandle* handle, TSMessage* reply, void* activity);
    static bool onCallbackReply(TSHandle* handle, TSMessage* reply, void* activity);
    static void onAdopterGone(TSHandle* handle, TSMessage* message, void* activity);

    std::map<int64_t, std::unique_ptr<Activity>> m_activities;
    int64_t m_nextId = 1;
    // Activities from the files, armed once the service is on the bus.
    std::vector<int64_t> m_toArm;
};

} // namespace emulator

#endif
