// kelwisprd as the phone sees it: activated on the emulator's bus by "initLogin", logging in
// against the emulated gateway with the emulator's telephony and connection manager, telling
// the outcome as "loginStatus" signals, and quitting when idle.
#include "TestBus.h"
#include "tamoservice.h"
#include "tpprefs.h"
#include "vtjson.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const char kService[] = "quor://com.quor.wifi.carrierhotspot/";
const char kGateway[] = "quor://com.quor.carrier.hotspot/emulator/";
const char kSignals[] = "quor://com.quor.wifi.carrierhotspot/com/quor/wifi/carrierhotspot";
const char kImsi[] = "208101234567890";
// Polls 250 ms apart, idle after 45 s; the attempts stay 200 ms apart.
const char kTimeScale[] = "4";

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

JValue parse(const std::string& text)
{
    JDomParser parser;
    EXPECT_TRUE(parser.parse(text, JSchemaFragment("{\"type\":[\"object\",\"array\"]}"))) << text;
    return parser.getDom();
}

bool collect(TSHandle*, TSMessage* message, void* context)
{
    static_cast<std::vector<std::string>*>(context)->push_back(TSMessageGetPayload(message));
    return true;
}

// nimbos-emulator on its own bus, which activates the daemons of the build tree; its state
// folder holds the settings, the preferences and the bus log with kelwisprd's lines.
class Emulator
{
  public:
    explicit Emulator(const char* timeScale)
    {
        gchar* dir = g_dir_make_tmp("kelwisprd-test-XXXXXX", nullptr);
        m_dir = dir;
        g_free(dir);
        gchar** envp = g_get_environ();
        envp = g_environ_unsetenv(envp, "TAMO_BUS_ADDRESS");
        envp = g_environ_setenv(envp, "CSDEBUG_STDERR", "1", TRUE);
        envp = g_environ_setenv(envp, "KELWISPRD_TEST_TIME_SCALE", timeScale, TRUE);
        std::vector<char*> argv = {const_cast<char*>(NIMBOS_EMULATOR),
                                   const_cast<char*>("--state-dir"),
                                   m_dir.data(),
                                   const_cast<char*>("--service-dir"),
                                   const_cast<char*>(KEL_DEV_SERVICE_DIR),
                                   nullptr};
        EXPECT_TRUE(
            g_spawn_async(nullptr, argv.data(), envp,
                          GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL),
                          nullptr, nullptr, &m_pid, nullptr));
        g_strfreev(envp);
        std::string envPath = m_dir + "/env";
        EXPECT_TRUE(
            runUntil([&] { return g_file_test(envPath.c_str(), G_FILE_TEST_EXISTS); }, 15000));
        std::istringstream lines(readFile(envPath));
        for (std::string line; std::getline(lines, line);) {
            size_t equals = line.find('=');
            if (line.rfind("export ", 0) != 0 || equals == std::string::npos)
                continue;
            std::string value = line.substr(equals + 1);
            m_env[line.substr(7, equals - 7)] = value.substr(1, value.size() - 2);
        }
        g_setenv("TAMO_BUS_ADDRESS", m_env["TAMO_BUS_ADDRESS"].c_str(), TRUE);
        g_setenv("TAMO_PREFS_DIR", m_env["TAMO_PREFS_DIR"].c_str(), TRUE);
    }
    ~Emulator()
    {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        g_spawn_close_pid(m_pid);
        g_unsetenv("TAMO_BUS_ADDRESS");
        g_unsetenv("TAMO_PREFS_DIR");
        EXPECT_EQ(system(("rm -rf '" + m_dir + "'").c_str()), 0);
    }
    // Every line the bus's services wrote, kelwisprd's among them.
    std::string log() const { return readFile(m_dir + "/bus.log"); }
    const std::string& dir() const { return m_dir; }

  private:
    std::string m_dir;
    GPid m_pid = 0;
    std::map<std::string, std::string> m_env;
};

class Phone
{
  public:
    Phone()
    {
        EXPECT_TRUE(TSRegisterAnonymous(&m_handle, nullptr));
        EXPECT_TRUE(TSGmainAttach(m_handle, nullptr, nullptr));
        EXPECT_TRUE(TSSignalWatch(m_handle, kSignals, collect, &m_signals, &m_watch, nullptr));
    }
    ~Phone() { TSUnregister(m_handle, nullptr); }

    JValue call(const std::string& uri, const std::string& payload)
    {
        std::vector<std::string> replies;
        EXPECT_TRUE(TSCallOneReply(m_handle, uri.c_str(), payload.c_str(), collect, &replies,
                                   nullptr, nullptr));
        EXPECT_TRUE(runUntil([&] { return !replies.empty(); }, 15000)) << uri;
        return replies.empty() ? JValue() : parse(replies[0]);
    }
    JValue gateway(const std::string& control, const std::string& payload = "{}")
    {
        return call(kGateway + control, payload);
    }
    void configureGateway(const std::string& settings)
    {
        EXPECT_TRUE(
            gateway("configure", "{\"settings\":" + settings + "}")["returnValue"].asBool());
    }
    std::string redirectPage() { return gateway("redirectPage")["page"].asString(); }
    // The gateway's requests to `endpoint`.
    std::vector<JValue> requests(const std::string& endpoint)
    {
        JValue all = gateway("requests")["requests"];
        std::vector<JValue> found;
        for (size_t i = 0; i < all.arraySize(); i++)
            if (all[i]["endpoint"].asString() == endpoint)
                found.push_back(all[i]);
        return found;
    }

    JValue initLogin(const std::string& page, const std::string& ssid = "KEL WiFi")
    {
        JValue payload = JValue::object();
        payload.put("profileId", JValue(7));
        payload.put("ssid", JValue(ssid));
        payload.put("bssid", JValue("00:11:22:33:44:55"));
        payload.put("hotspotInfo", JValue(page));
        payload.put("interface", JValue("127.0.0.1"));
        return call(std::string(kService) + "initLogin", payload.stringify());
    }
    JValue initLogoff(const std::string& payload = "{}")
    {
        return call(std::string(kService) + "initLogoff", payload);
    }

    // Waits for the next "loginStatus" signal; null when none came.
    JValue nextSignal(int timeoutMs = 15000)
    {
        size_t wanted = m_taken + 1;
        if (!runUntil([&] { return m_signals.size() >= wanted; }, timeoutMs))
            return JValue();
        return parse(m_signals[m_taken++]);
    }
    size_t signalCount() const { return m_signals.size(); }

  private:
    TSHandle* m_handle = nullptr;
    TSMessageToken m_watch = 0;
    std::vector<std::string> m_signals;
    size_t m_taken = 0;
};

std::string savedAccount()
{
    TPAppHandle* handle = nullptr;
    char* value = nullptr;
    std::string text = "<none>";
    if (TPAppGetHandle("com.quor.wifi.carrierhotspot", &handle) == TP_ERR_NONE &&
        TPAppCopyValue(handle, "account", &value) == TP_ERR_NONE)
        text = value;
    TPFreeString(value);
    TPAppFreeHandle(handle);
    return text;
}

void saveAccount(const std::string& text)
{
    TPAppHandle* handle = nullptr;
    ASSERT_EQ(TPAppGetHandle("com.quor.wifi.carrierhotspot", &handle), TP_ERR_NONE);
    EXPECT_EQ(TPAppSetValue(handle, "account", text.c_str()), TP_ERR_NONE);
    TPAppFreeHandle(handle);
}

std::string status(const JValue& signal)
{
    return signal.stringify();
}

const char kLoggedIn[] = R"({"status":"logged in","sessionId":"kel"})";
const char kLoggedOff[] = R"({"status":"logged off","sessionId":"kel"})";
const char kAccessDenied[] = R"({"status":"login failed","reason":"access denied"})";
const char kRetryLimit[] = R"({"status":"login failed","reason":"retry limit exceeded"})";
const char kTimedOut[] = R"({"status":"login failed","reason":"timed out"})";

class Kelwisprd : public ::testing::Test
{
  protected:
    Kelwisprd() : m_emulator(kTimeScale) {}
    Emulator m_emulator;
    Phone m_phone;
};

TEST_F(Kelwisprd, ActivatedByInitLoginLogsInAtOnceAndLeavesThePreferencesAlone)
{
    m_phone.configureGateway(R"({"loginResponseCode":50})");
    JValue reply = m_phone.initLogin(m_phone.redirectPage());
    EXPECT_EQ(reply.stringify(), R"({"returnValue":true})");
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    EXPECT_TRUE(m_phone.gateway("status")["status"]["loggedIn"].asBool());
    EXPECT_EQ(savedAccount(), "<none>");

    JValue opened = m_phone.call("quor://com.quor.applicationManager/emulator/opened", "{}");
    ASSERT_EQ(opened["opened"].arraySize(), 1u) << opened.stringify();
    JValue hotspot = opened["opened"][0]["params"]["hotspot"];
    EXPECT_EQ(opened["opened"][0]["id"].asString(), "com.quor.app.wifi");
    EXPECT_EQ(hotspot["profileId"].asInt32(), 7);
    EXPECT_EQ(hotspot["messageType"].asString(), "info");
    EXPECT_EQ(hotspot["messageTitle"].asString(), "Welcome to KEL Wi-Fi Network");

    // The login carried the issued account; its password never reached the log.
    std::vector<JValue> logins = m_phone.requests("login");
    ASSERT_EQ(logins.size(), 1u);
    JValue accounts = m_phone.gateway("accounts")["accounts"];
    ASSERT_EQ(accounts.arraySize(), 1u);
    std::string password = accounts[0]["password"].asString();
    EXPECT_NE(logins[0]["body"].asString().find("Password=" + password), std::string::npos);
    std::string log = m_emulator.log();
    EXPECT_NE(log.find("Login succeeded with session id: kel"), std::string::npos) << log;
    EXPECT_NE(log.find("Password=****"), std::string::npos);
    EXPECT_EQ(log.find(password), std::string::npos);
}

TEST_F(Kelwisprd, PendingLoginIsPolledToSuccessAndTheAccountSavedWithTheImsi)
{
    m_phone.configureGateway(R"({"loginResponseCode":201,"pendingPolls":2})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    EXPECT_EQ(m_phone.requests("loginResults").size(), 3u);
    JValue accounts = m_phone.gateway("accounts")["accounts"];
    ASSERT_EQ(accounts.arraySize(), 1u);
    EXPECT_EQ(savedAccount(), R"({"username":")" + accounts[0]["username"].asString() +
                                  R"(","password":")" + accounts[0]["password"].asString() +
                                  R"(","imsi":")" + kImsi + R"("})");
}

TEST_F(Kelwisprd, RejectionClearsTheSavedAccount)
{
    // A saved account of this SIM that the gateway does not know.
    saveAccount(std::string(R"({"username":"gone","password":"pw","imsi":")") + kImsi + "\"}");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kAccessDenied);
    EXPECT_EQ(savedAccount(), "{}");
    EXPECT_TRUE(m_phone.requests("accountCreation").empty());
    EXPECT_NE(m_emulator.log().find("Logging in with saved account"), std::string::npos);
}

TEST_F(Kelwisprd, ThreeFailedAttemptsExceedTheRetryLimit)
{
    m_phone.configureGateway(R"({"loginResponseCode":255})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kRetryLimit);
    // An attempt made before the IMSI arrived fails without a request, so the log counts them.
    std::string log = m_emulator.log();
    for (int attempt = 1; attempt <= 3; attempt++)
        EXPECT_NE(log.find("retry count " + std::to_string(attempt) + ", max retries 3"),
                  std::string::npos)
            << attempt;
    EXPECT_EQ(log.find("retry count 4"), std::string::npos);
    EXPECT_LE(m_phone.requests("login").size(), 3u);
    EXPECT_NE(log.find("Login failed with error code: 255"), std::string::npos);
}

// A busy modem answers the IMSI after the first attempt: that attempt fails without a request
// and the next one logs in, however short the test's time scale makes the polls.
TEST_F(Kelwisprd, AnImsiAnsweredLateIsWaitedForByTheNextAttempt)
{
    m_phone.configureGateway(R"({"loginResponseCode":50})");
    m_phone.call("quor://com.quor.telephony/emulator/setSim", R"({"imsiDelayMs":250})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    EXPECT_EQ(m_phone.requests("login").size(), 1u);
    EXPECT_NE(m_emulator.log().find("retry count 1, max retries 3"), std::string::npos);
}

TEST_F(Kelwisprd, FivePollsWithoutAResultFailTheLoginAndImmediateLogoffKeepsTheRecord)
{
    m_phone.configureGateway(R"({"loginResponseCode":201,"pendingPolls":100})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kTimedOut);
    EXPECT_EQ(m_phone.requests("loginResults").size(), 5u);
    // An immediate logoff sends nothing and keeps the record; the plain one then logs off with
    // it.
    EXPECT_EQ(m_phone.initLogoff(R"({"immediate":true})").stringify(), R"({"returnValue":true})");
    EXPECT_TRUE(m_phone.requests("logoff").empty());
    EXPECT_EQ(m_phone.initLogoff().stringify(), R"({"returnValue":true})");
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedOff);
    EXPECT_EQ(m_phone.requests("loginResults").size(), 5u);
    EXPECT_EQ(m_phone.requests("logoff").size(), 1u);
}

TEST_F(Kelwisprd, ImmediateLogoffStopsAPollingInProgressWithoutASignal)
{
    m_phone.configureGateway(R"({"loginResponseCode":201,"pendingPolls":100})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_TRUE(runUntil([&] { return m_phone.requests("loginResults").size() >= 1; }));
    EXPECT_TRUE(m_phone.initLogoff(R"({"immediate":true})")["returnValue"].asBool());
    size_t polls = m_phone.requests("loginResults").size();
    // A new login starts afresh: three attempts, not what was left of the earlier count.
    m_phone.configureGateway(R"({"loginResponseCode":255})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kRetryLimit);
    EXPECT_EQ(m_phone.requests("loginResults").size(), polls);
    EXPECT_EQ(m_phone.signalCount(), 1u);
    EXPECT_NE(m_emulator.log().find("immediate logoff requested"), std::string::npos);
}

TEST_F(Kelwisprd, SimSwapClearsTheSavedAccountAndCreatesOneOverTheWanAddress)
{
    saveAccount(R"({"username":"old","password":"pw","imsi":"999990000000001"})");
    EXPECT_TRUE(m_phone
                    .call("quor://com.quor.connectionmanager/emulator/setWan",
                          R"({"ipAddress":"127.0.0.2"})")["returnValue"]
                    .asBool());
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    EXPECT_EQ(savedAccount(), "{}");
    std::vector<JValue> created = m_phone.requests("accountCreation");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0]["peer"].asString(), "127.0.0.2");
    EXPECT_NE(m_emulator.log().find("Detected SIM swap, removing saved credentials"),
              std::string::npos);
}

TEST_F(Kelwisprd, LogoffAfterLoginIsToldAndEndsTheGatewaysLogin)
{
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    EXPECT_EQ(m_phone.initLogoff().stringify(), R"({"returnValue":true})");
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedOff);
    EXPECT_TRUE(runUntil([&] { return !m_phone.requests("logoff").empty(); }));
    EXPECT_TRUE(
        runUntil([&] { return !m_phone.gateway("status")["status"]["loggedIn"].asBool(); }));
    // Nothing left to log off.
    EXPECT_TRUE(m_phone.initLogoff()["returnValue"].asBool());
    EXPECT_EQ(m_phone.requests("logoff").size(), 1u);
}

TEST_F(Kelwisprd, ANewInitLoginReplacesARunningOne)
{
    m_phone.configureGateway(R"({"loginResponseCode":201,"pendingPolls":100})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_TRUE(runUntil([&] { return m_phone.requests("loginResults").size() >= 1; }));
    m_phone.configureGateway(R"({"loginResponseCode":50})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    size_t polls = m_phone.requests("loginResults").size();
    // The earlier login's polls are gone: they would go on for four more intervals otherwise.
    runFor(1000);
    EXPECT_EQ(m_phone.initLogoff().stringify(), R"({"returnValue":true})");
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedOff);
    EXPECT_EQ(m_phone.requests("loginResults").size(), polls);
}

TEST_F(Kelwisprd, RealGatewayShapesLogInWithEscapedUrls)
{
    for (const char* shape : {R"({"lineEnds":"lf","xmlInComment":true})",
                              R"({"lineEnds":"crlf","xmlInComment":false})"}) {
        SCOPED_TRACE(shape);
        m_phone.configureGateway(shape);
        m_phone.configureGateway(
            R"({"loginQuery":"gw=emu1&loc=hall","loginResponseCode":201,"pendingPolls":1})");
        std::string page = m_phone.redirectPage();
        ASSERT_NE(page.find("gw=emu1&amp;loc=hall"), std::string::npos);
        EXPECT_TRUE(m_phone.initLogin(page)["returnValue"].asBool());
        EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
        std::vector<JValue> polls = m_phone.requests("loginResults");
        ASSERT_FALSE(polls.empty());
        EXPECT_EQ(polls.back()["query"].asString(), "gw=emu1&loc=hall");
        EXPECT_EQ(m_phone.initLogoff().stringify(), R"({"returnValue":true})");
        EXPECT_EQ(status(m_phone.nextSignal()), kLoggedOff);
        m_phone.gateway("clearRequests");
    }
}

TEST_F(Kelwisprd, MethodsRefuseBadArgumentsWithTheirCodeAndText)
{
    std::string page = m_phone.redirectPage();
    // An escaped zero byte is part of the name, not its end.
    for (const char* ssid : {"kel wifi", "KEL WiFi ", "Other", "KEL WiFi\\000junk"})
        EXPECT_EQ(m_phone.initLogin(page, ssid).stringify(),
                  R"({"returnValue":false,"errorCode":6,"errorText":"unknown ssid"})")
            << ssid;
    // A trailing backslash escapes nothing: refused in the daemon's own log, not by a warning
    // of the library on standard error.
    EXPECT_EQ(m_phone.initLogin(page, "KEL WiFi\\").stringify(),
              R"({"returnValue":false,"errorCode":4,"errorText":"unknown"})");
    EXPECT_EQ(m_emulator.log().find("GLib-WARNING"), std::string::npos);
    const std::string badArgument =
        R"({"returnValue":false,"errorCode":2,"errorText":"bad argument"})";
    std::string uri = std::string(kService) + "initLogin";
    EXPECT_EQ(m_phone
                  .call(uri, R"({"profileId":7,"ssid":"KEL WiFi","hotspotInfo":"x",)"
                             R"("interface":"127.0.0.1"})")
                  .stringify(),
              badArgument);
    EXPECT_EQ(m_phone
                  .call(uri, R"({"profileId":7,"ssid":"KEL WiFi","bssid":true,"hotspotInfo":"x",)"
                             R"("interface":"127.0.0.1"})")
                  .stringify(),
              badArgument);
    // 2^31 would wrap into a negative profile id.
    EXPECT_EQ(m_phone
                  .call(uri, R"({"profileId":"2147483648","ssid":"KEL WiFi","bssid":"b",)"
                             R"("hotspotInfo":"x","interface":"127.0.0.1"})")
                  .stringify(),
              badArgument);
    // A redirect page beyond the bound of a gateway reply.
    EXPECT_EQ(m_phone.initLogin(std::string(1024 * 1024 + 1, 'x')).stringify(), badArgument);
    EXPECT_EQ(m_phone.initLogin("<html>no WISPr here</html>").stringify(),
              R"({"returnValue":false,"errorCode":10,"errorText":"incomplete hotspot info"})");
    EXPECT_EQ(m_phone.call(std::string(kService) + "foundNetworks", R"({"any":[1]})").stringify(),
              R"({"returnValue":true})");
    EXPECT_TRUE(m_phone.requests("login").empty());
    EXPECT_EQ(m_phone.signalCount(), 0u);
}

// The account is tied to the SIM: a SIM that cannot be read is no other SIM. Its login uses an
// account of its own and leaves the saved one alone, which the next readable SIM logs in with.
TEST_F(Kelwisprd, AnUnreadableImsiLeavesTheSavedAccountAlone)
{
    const std::string saved =
        std::string(R"({"username":"kept","password":"pw","imsi":")") + kImsi + "\"}";
    saveAccount(saved);
    m_phone.configureGateway(R"({"loginResponseCode":201,"pendingPolls":0,)"
                             R"("accounts":[{"username":"kept","password":"pw"}]})");
    m_phone.call("quor://com.quor.telephony/emulator/setSim", R"({"imsi":""})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    EXPECT_EQ(savedAccount(), saved);
    EXPECT_EQ(m_phone.requests("accountCreation").size(), 1u);

    m_phone.call("quor://com.quor.telephony/emulator/setSim",
                 std::string(R"({"imsi":")") + kImsi + "\"}");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kLoggedIn);
    EXPECT_EQ(savedAccount(), saved);
    EXPECT_EQ(m_phone.requests("accountCreation").size(), 1u);
    EXPECT_NE(m_phone.requests("login").back()["body"].asString().find("UserName=kept&"),
              std::string::npos);
}

// A password holding the form's own separators is masked whole, wherever it is logged.
TEST_F(Kelwisprd, APasswordWithFormSeparatorsNeverReachesTheLog)
{
    saveAccount(std::string(R"({"username":"u1","password":"pa&ss=w0rd+%41","imsi":")") + kImsi +
                "\"}");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kAccessDenied);
    std::string log = m_emulator.log();
    EXPECT_NE(log.find("Password=****&FNAME=0"), std::string::npos) << log;
    EXPECT_EQ(log.find("w0rd"), std::string::npos) << log;
}

// With a list of hosts that may receive credentials (the emulator allows its gateway's
// 127.0.0.1), a login URL naming another host is refused before a byte is sent.
TEST_F(Kelwisprd, CredentialsGoOnlyToTheAllowedHosts)
{
    std::string page = m_phone.redirectPage();
    for (size_t at; (at = page.find("127.0.0.1")) != std::string::npos;)
        page.replace(at, 9, "localhost");
    EXPECT_TRUE(m_phone.initLogin(page)["returnValue"].asBool());
    EXPECT_EQ(status(m_phone.nextSignal()), kRetryLimit);
    EXPECT_TRUE(m_phone.requests("login").empty());
    EXPECT_NE(m_emulator.log().find("Refused to send credentials to localhost"), std::string::npos);
}

// Polls that never see an outcome end in a failed login, and the daemon goes idle again.
TEST(KelwisprdIdle, PollsThatGiveUpReportAFailedLoginAndTheDaemonQuitsWhenIdle)
{
    // Polls 1 ms apart, idle after 180 ms.
    Emulator emulator("1000");
    Phone phone;
    phone.configureGateway(R"({"loginResponseCode":201,"pendingPolls":100})");
    EXPECT_TRUE(phone.initLogin(phone.redirectPage())["returnValue"].asBool());
    EXPECT_EQ(status(phone.nextSignal()), kTimedOut);
    EXPECT_EQ(phone.requests("loginResults").size(), 5u);
    EXPECT_TRUE(runUntil([] { return !nameHasOwner("com.quor.wifi.carrierhotspot"); }, 15000));
}

// Bus calls against a slow gateway: a call that arrives during an exchange is answered as soon
// as that exchange ends, before the next one starts, and never waits for two.
class KelwisprdBusWait : public ::testing::Test
{
  protected:
    // Unscaled: the polls are the full second apart.
    KelwisprdBusWait() : m_emulator("1") {}
    // Sends "foundNetworks" and waits for its answer; how long it took, in ms.
    long foundNetworksMs()
    {
        gint64 start = g_get_monotonic_time();
        EXPECT_TRUE(
            m_phone.call(std::string(kService) + "foundNetworks", "{}")["returnValue"].asBool());
        return static_cast<long>((g_get_monotonic_time() - start) / 1000);
    }
    Emulator m_emulator;
    Phone m_phone;
};

TEST_F(KelwisprdBusWait, ACallDuringAPollIsAnsweredBeforeTheNextPoll)
{
    m_phone.configureGateway(R"({"loginResponseCode":201,"pendingPolls":100,)"
                             R"("misbehave":{"loginResults":{"kind":"delay","amount":1500}}})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    ASSERT_TRUE(runUntil([&] { return m_phone.requests("loginResults").size() == 1; }, 15000));
    foundNetworksMs();
    EXPECT_EQ(m_phone.requests("loginResults").size(), 1u);
    EXPECT_TRUE(m_phone.initLogoff(R"({"immediate":true})")["returnValue"].asBool());
}

// Account creation, the login POST and the connectivity check its "200 OK" asks for are three
// exchanges: a call waits for the one in progress only, here never for the silent check.
TEST_F(KelwisprdBusWait, TheExchangesOfOneAttemptAreSeparateSteps)
{
    m_phone.configureGateway(R"({"misbehave":{"accountCreation":{"kind":"delay","amount":1000},)"
                             R"("login":{"kind":"delay","amount":1000},)"
                             R"("connectivityCheck":"silence"}})");
    EXPECT_TRUE(m_phone.initLogin(m_phone.redirectPage())["returnValue"].asBool());
    ASSERT_TRUE(runUntil([&] { return m_phone.requests("accountCreation").size() == 1; }, 15000));
    EXPECT_LT(foundNetworksMs(), 10000) << "waited for more than the account creation";
    ASSERT_TRUE(runUntil([&] { return m_phone.requests("login").size() == 1; }, 15000));
    EXPECT_LT(foundNetworksMs(), 10000) << "waited for more than the login POST";
    EXPECT_TRUE(m_phone.requests("connectivityCheck").size() <= 1u);
    // The silent check fails after its receive time-out; the gateway's ResponseCode 50, which
    // follows the status line, decides all the same.
    EXPECT_EQ(status(m_phone.nextSignal(40000)), kLoggedIn);
}

TEST(KelwisprdIdle, QuitsAfterItsIdlePeriodAndIsActivatedAgainByTheNextCall)
{
    // 180 s scaled down to 180 ms.
    Emulator emulator("1000");
    Phone phone;
    EXPECT_TRUE(phone.call(std::string(kService) + "foundNetworks", "{}")["returnValue"].asBool());
    EXPECT_TRUE(runUntil([] { return !nameHasOwner("com.quor.wifi.carrierhotspot"); }, 15000));
    std::string log = emulator.log();
    EXPECT_NE(log.find("Terminating idle service..."), std::string::npos) << log;
    EXPECT_NE(log.find("Carrier hotspot service is stopped"), std::string::npos);
    EXPECT_TRUE(phone.call(std::string(kService) + "foundNetworks", "{}")["returnValue"].asBool());
}

// One kelwisprd started by hand with `args`, its log on standard error.
class ManualRun
{
  public:
    explicit ManualRun(std::vector<std::string> args)
    {
        m_errPath = testing::TempDir() + "kelwisprd-err-" + std::to_string(getpid());
        std::vector<char*> argv = {const_cast<char*>(KELWISPRD_PATH)};
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        gchar** envp = g_get_environ();
        envp = g_environ_setenv(envp, "CSDEBUG_STDERR", "1", TRUE);
        m_err = open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_TRUE(g_spawn_async(nullptr, argv.data(), envp, G_SPAWN_DO_NOT_REAP_CHILD, redirect,
                                  this, &m_pid, nullptr));
        g_strfreev(envp);
        EXPECT_TRUE(runUntil([] { return nameHasOwner("com.quor.wifi.carrierhotspot"); }));
    }
    ~ManualRun()
    {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        g_spawn_close_pid(m_pid);
        // The next run must find the name free, not held by this dead one.
        EXPECT_TRUE(runUntil([] { return !nameHasOwner("com.quor.wifi.carrierhotspot"); }));
        close(m_err);
        std::remove(m_errPath.c_str());
    }
    std::string log() const { return readFile(m_errPath); }

  private:
    static void redirect(gpointer data) { dup2(static_cast<ManualRun*>(data)->m_err, 2); }
    std::string m_errPath;
    int m_err = -1;
    GPid m_pid = 0;
};

TEST(KelwisprdOptions, AnUnknownLevelNameKeepsTheDefaultLevel)
{
    Emulator emulator(kTimeScale);
    Phone phone;
    const char traceLine[] = "WISPr_TamoMethod_InitLogoff() called with JSON {}.";
    {
        ManualRun run({"-l", "loud"});
        EXPECT_TRUE(phone.initLogoff()["returnValue"].asBool());
        std::string log = run.log();
        EXPECT_NE(log.find("Unknown log level loud, keeping 100"), std::string::npos) << log;
        EXPECT_NE(log.find(traceLine), std::string::npos) << log;
    }
    {
        ManualRun run({"-l", "info"});
        EXPECT_TRUE(phone.initLogoff()["returnValue"].asBool());
        std::string log = run.log();
        EXPECT_NE(log.find("WISPr Logoff invoked..."), std::string::npos) << log;
        EXPECT_EQ(log.find(traceLine), std::string::npos) << log;
    }
}

} // namespace
