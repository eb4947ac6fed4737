// KelVvmServiceApp: the service process: options, bus registration, idle timer and teardown.
#include "KelVvmServiceApp.h"

#include "HttpRequest.h"
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmSettings.h"
#include "KelVvmStop.h"
#include "KelVvmUtils.h"
#include "TamoMessage.h"

#include <curl/curl.h>
#include <getopt.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

bool disableIdleTimer = false;

std::unique_ptr<KelVvmServiceApp> KelVvmServiceApp::s_appInstance;

namespace
{

const TSMethod s_methods[] = {
    {"ping", KelVvmServiceApp::handlePing, 0},
    {"test", KelVvmServiceApp::handleTest, 0},
    {"scheduled", KelVvmServiceApp::handleScheduled, 0},
    {"readMessage", KelVvmServiceApp::handleReadMessage, 0},
    {"setGreeting", KelVvmServiceApp::handleSetGreeting, 0},
    {"deleteMessage", KelVvmServiceApp::handleDeleteMessage, 0},
    {"refreshMessages", KelVvmServiceApp::handleRefreshMessages, 0},
    {"smsNotification", KelVvmServiceApp::handleSmsNotification, 0},
    {"simStatusQuery", KelVvmServiceApp::handleSimStatusQuery, 0},
    {nullptr, nullptr, 0},
};

// Test hook: KELVVM_TEST_TIME_SCALE=N (1 to 100000) makes every idle period, transfer time-out
// and retry wait N times shorter.
void readTestTimeScale()
{
    const char* scale = g_getenv("KELVVM_TEST_TIME_SCALE");
    long divisor = scale ? strtol(scale, nullptr, 10) : 1;
    KelVvmServiceValues::s_testTimeScale = divisor >= 1 && divisor <= 100000 ? divisor : 1;
}

int levelFromWord(const char* word, int current)
{
    static const struct {
        const char* word;
        int level;
    } levels[] = {{"none", QMLOG_LEVEL_NONE},     {"critical", QMLOG_LEVEL_CRITICAL},
                  {"error", QMLOG_LEVEL_ERROR},   {"warning", QMLOG_LEVEL_WARNING},
                  {"notice", QMLOG_LEVEL_NOTICE}, {"info", QMLOG_LEVEL_INFO},
                  {"debug", QMLOG_LEVEL_DEBUG}};
    for (const auto& entry : levels) {
        if (strcasecmp(word, entry.word) == 0)
            return entry.level;
    }
    return current;
}

} // namespace

KelVvmServiceApp* KelVvmServiceApp::getInstance()
{
    if (!s_appInstance)
        s_appInstance.reset(new KelVvmServiceApp());
    return s_appInstance.get();
}

KelVvmServiceApp::KelVvmServiceApp() : m_mainLoop(nullptr), m_idleTimerId(0)
{
    KLOG_DEBUG("New KelVvmServiceApp");
    curl_global_init(CURL_GLOBAL_ALL);
}

KelVvmServiceApp::~KelVvmServiceApp()
{
    KLOG_DEBUG("Service App: Bye");
    cleanupSubscriptions();
    cleanupService();
    stopIdleTimer();
    if (m_mainLoop)
        g_main_loop_unref(m_mainLoop);
    HttpRequest::closeConnections();
    curl_global_cleanup();
}

int KelVvmServiceApp::main(int argc, char** argv)
{
    KLOG_DEBUG("main");
    try {
        if (parseArgs(argc, argv))
            return 0;
        m_mainLoop = g_main_loop_new(nullptr, FALSE);
        if (!m_mainLoop)
            return 1;
        // The handler runs through the loop, where logging and quitting are safe; blocking
        // exchanges see the signal at once and give up.
        if (!KelVvmStop::install(signalHandler))
            KLOG_WARNING("Cannot handle SIGTERM and SIGINT: %s", strerror(errno));
        g_mkdir_with_parents(s_mediaFolder.c_str(), 0755);
        readTestTimeScale();
        readSystemProperties();

        const KelVvmSettings& settings = KelVvmSettings::instance();
        if (!settings.loadError.empty())
            KLOG_WARNING("No deployment settings in %s: %s", KelVvmSettings::path().c_str(),
                         settings.loadError.c_str());

        setupService();
        startIdleTimer(120);
        g_main_loop_run(m_mainLoop);
    } catch (const KelVvmServiceAppException& e) {
        // Not serving at all is a failure a supervisor must be able to see.
        KLOG_CRITICAL("Main loop error: %s", e.what());
        return 1;
    } catch (const std::exception& e) {
        KLOG_CRITICAL("Main loop error: %s", e.what());
    }
    return 0;
}

void KelVvmServiceApp::readSystemProperties()
{
    getTamoPrefSystemValue("com.quor.properties.deviceNameShortBranded", s_modelName);
    KLOG_DEBUG("Device name: %s", s_modelName.c_str());
    std::string version;
    getTamoPrefSystemValue("com.quor.properties.version", version);
    s_platformVersion = derivePlatformVersion(version, s_platformVersion);
    KLOG_DEBUG("Platform version: %s", s_platformVersion.c_str());
}

std::string KelVvmServiceApp::derivePlatformVersion(const std::string& property,
                                                    const std::string& previous)
{
    static const std::string prefix = "Quor Nimbos ";
    std::string version = property;
    // The prefix is expected at the start; its length is dropped wherever it was found.
    if (version.find(prefix) != std::string::npos)
        version.erase(0, prefix.size());
    size_t first = version.find('.');
    if (first == std::string::npos)
        return previous;
    size_t second = version.find('.', first + 1);
    return second == std::string::npos ? version : version.substr(0, second);
}

bool KelVvmServiceApp::parseArgs(int argc, char** argv)
{
    KLOG_DEBUG("parseArgs");
    static const struct option options[] = {
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
        {"noidle", no_argument, nullptr, 'n'},       {"log", required_argument, nullptr, 'l'},
        {"folder", required_argument, nullptr, 'f'}, {nullptr, 0, nullptr, 0}};
    optind = 1;
    opterr = 0; // unknown options are skipped quietly
    int option;
    while ((option = getopt_long(argc, argv, "hnl:f:", options, nullptr)) != -1) {
        switch (option) {
        case 'h':
            printUsage(argv[0]);
            return true;
        case 'V':
            printf("kelvvm %s\n", KEL_VERSION);
            fflush(stdout);
            return true;
        case 'n':
            KLOG_INFO("Disable idle timer");
            disableIdleTimer = true;
            break;
        case 'l':
            KLOG_INFO("Setting logging level to %s", optarg);
            QmLogSetLevel(gLogContext, levelFromWord(optarg, QmLogGetLevel(gLogContext)));
            break;
        case 'f':
            KLOG_INFO("Setting default download location to %s", optarg);
            s_mediaFolder = optarg;
            break;
        default:
            break;
        }
    }
    return false;
}

void KelVvmServiceApp::printUsage(const char* argv0)
{
    KLOG_DEBUG("Print Usage");
    gchar* name = g_path_get_basename(argv0);
    printf("Runs the KEL Visual Voicemail service\n\n"
           "    Usage: %s [-n|--noidle] [-h|--help] [-l|--log level] [-f|--folder folder]\n\n"
           "    Options:\n"
           "    -h    Show this help message (will exit)\n"
           "    -l    Set the log level (none, critical, error, warning, info, debug)\n"
           "    -f    Set the download folder\n"
           "    -n    Disable idle timer\n\n",
           name);
    fflush(stdout);
    g_free(name);
}

void KelVvmServiceApp::setupService()
{
    KLOG_INFO("setupService");
    TSError error;
    TSErrorInit(&error);
    auto fail = [&error](const char* text) {
        TSErrorFree(&error);
        throw KelVvmServiceAppException(text);
    };
    if (!TSRegister(s_tamoServiceName.c_str(), &m_serviceHandle, &error))
        fail("Register Service failed");
    if (!TSRegisterCategory(m_serviceHandle, "/", s_methods, nullptr, nullptr, &error))
        fail("Register Category failed");
    if (!TSCategorySetData(m_serviceHandle, "/", this, &error))
        fail("Set Category Data failed");
    if (!TSGmainAttach(m_serviceHandle, m_mainLoop, &error))
        fail("GMain loop attach failed");
}

void KelVvmServiceApp::startIdleTimer(int seconds)
{
    // A "ping" or "test" answered while an activity is queued, running or waiting for the
    // activity manager must not end the process under it: the manager arms the timer when
    // the last activity is done.
    if (m_idleTimerId != 0 || KelVvmActivityMgr::getInstance()->live() > 0)
        return;
    KLOG_DEBUG("Starting Idle Timer of %ds", seconds);
    m_idleTimerId = g_timeout_add(guint(scaledMilliseconds(seconds)), quitIfIdle, this);
}

void KelVvmServiceApp::stopIdleTimer()
{
    if (m_idleTimerId == 0)
        return;
    KLOG_DEBUG("Removing Idle Timer");
    g_source_remove(m_idleTimerId);
    m_idleTimerId = 0;
}

gboolean KelVvmServiceApp::quitIfIdle(void* app)
{
    if (disableIdleTimer)
        return TRUE;
    auto* self = static_cast<KelVvmServiceApp*>(app);
    // The source ends with this call; forget its id so nobody removes it again.
    self->m_idleTimerId = 0;
    // Work that started after the timer was armed without stopping it keeps the process; the
    // manager arms the timer again when it is done.
    if (KelVvmActivityMgr::getInstance()->live() > 0) {
        KLOG_DEBUG("Idle timer: activities still alive, not quitting");
        return FALSE;
    }
    self->quit();
    return FALSE;
}

void KelVvmServiceApp::quit()
{
    if (m_mainLoop)
        g_main_loop_quit(m_mainLoop);
}

void KelVvmServiceApp::signalHandler(int signum)
{
    KLOG_INFO("Handling signal %d", signum);
    if (s_appInstance)
        s_appInstance->quit();
    else
        exit(0);
}

bool KelVvmServiceApp::handlePing(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handlePing");
    auto* app = static_cast<KelVvmServiceApp*>(context);
    app->stopIdleTimer();
    TSError error;
    TSErrorInit(&error);
    bool answered = TSMessageRespond(message, TSMessageGetPayload(message), &error);
    app->startIdleTimer(30);
    if (!answered)
        TSErrorFree(&error);
    return answered;
}

void KelVvmServiceApp::cleanupSubscriptions()
{
    KLOG_INFO("cleanupSubscriptions");
    for (TamoMessage* subscription : m_subscriptions) {
        subscription->cancel();
        delete subscription;
    }
    m_subscriptions.clear();
}

void KelVvmServiceApp::cleanupService()
{
    KLOG_INFO("cleanupService");
    if (!m_serviceHandle)
        return;
    TamoMessage::dropPending(m_serviceHandle);
    TSError error;
    TSErrorInit(&error);
    if (!TSUnregister(m_serviceHandle, &error))
        TSErrorFree(&error);
    m_serviceHandle = nullptr;
}
