// KelVvmServiceApp: the service process: options, bus registration, idle timer and teardown.
#ifndef KELVVMSERVICEAPP_H
#define KELVVMSERVICEAPP_H

#include "KelVvmServiceHost.h"
#include "KelVvmServiceValues.h"
#include "NoCopyClass.h"
#include "tamoservice.h"

#include <glib.h>

#include <cstdint>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>

class TamoMessage;

class KelVvmServiceApp : public NoCopyClass, public KelVvmServiceValues, public KelVvmServiceHost
{
  public:
    static KelVvmServiceApp* getInstance();
    ~KelVvmServiceApp() override;

    int main(int argc, char** argv);
    bool parseArgs(int argc, char** argv);
    void printUsage(const char* argv0);
    void setupService();

    void startIdleTimer(int seconds) override;
    void stopIdleTimer();
    static gboolean quitIfIdle(void* app);
    void quit();

    static void signalHandler(int signum);

    // The platform version from the version property: "Quor Nimbos 1.4.5" gives "1.4", "2.1"
    // stays "2.1", and a text without a dot gives `previous`.
    static std::string derivePlatformVersion(const std::string& property,
                                             const std::string& previous);

    static bool handlePing(TSHandle* handle, TSMessage* message, void* context);
    // The diagnostic method: runs the operation named by "method" and answers at once.
    static bool handleTest(TSHandle* handle, TSMessage* message, void* context);
    // Each wraps the call in a new activity and hands it to the activity manager, which
    // answers it (KelVvmMethodHandlers.cpp).
    static bool handleSetGreeting(TSHandle* handle, TSMessage* message, void* context);
    static bool handleSimStatusQuery(TSHandle* handle, TSMessage* message, void* context);
    static bool handleSmsNotification(TSHandle* handle, TSMessage* message, void* context);
    static bool handleRefreshMessages(TSHandle* handle, TSMessage* message, void* context);
    static bool handleDeleteMessage(TSHandle* handle, TSMessage* message, void* context);
    static bool handleReadMessage(TSHandle* handle, TSMessage* message, void* context);
    static bool handleScheduled(TSHandle* handle, TSMessage* message, void* context);

    GMainLoop* m_mainLoop;
    guint m_idleTimerId;
    std::list<TamoMessage*> m_subscriptions;

    static std::unique_ptr<KelVvmServiceApp> s_appInstance;

  private:
    KelVvmServiceApp();
    void cleanupService();
    void cleanupSubscriptions();
    void readSystemProperties();
};

// Set by -n: the idle timer then never ends the process.
extern bool disableIdleTimer;

#endif
