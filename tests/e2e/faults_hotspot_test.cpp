// Faults the hotspot login daemon must survive, driven as the phone drives it: nimbos-emulator on
// its own bus activates the real kelwisprd on "initLogin", and the emulated gateway is slowed
// down, silenced or watched to place a kill. Kill points are drawn from a seeded generator;
// KEL_FAULT_SEED replays a run.
#include "DeviceTest.h"
#include "FaultSeed.h"
#include "tpprefs.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <random>
#include <string>

namespace
{

const char kDaemon[] = "com.quor.wifi.carrierhotspot";
const char kSignals[] = "quor://com.quor.wifi.carrierhotspot/com/quor/wifi/carrierhotspot";
const char kLoggedIn[] = R"({"status":"logged in","sessionId":"kel"})";
const char kLoggedOff[] = R"({"status":"logged off","sessionId":"kel"})";
// Attempts 20 ms apart, polls 100 ms apart.
const int kTimeScale = 10;
const int kPollMs = 1000 / kTimeScale;
// Long enough for a login on a loaded machine or a sanitized build; no step waits for it.
const int kPatienceMs = 30000;

// The account kelwisprd keeps, as its preference reads; "<none>" without one.
std::string savedAccount()
{
    TPAppHandle* handle = nullptr;
    char* value = nullptr;
    std::string text = "<none>";
    if (TPAppGetHandle(kDaemon, &handle) == TP_ERR_NONE &&
        TPAppCopyValue(handle, "account", &value) == TP_ERR_NONE)
        text = value;
    TPFreeString(value);
    TPAppFreeHandle(handle);
    return text;
}

class HotspotFaults : public DeviceTest
{
  protected:
    HotspotFaults() : DeviceTest("kelwisprd-faults", kPatienceMs) {}
    void SetUp() override
    {
        // The emulator's bus hands its environment to the daemons it activates.
        ASSERT_NO_FATAL_FAILURE(
            startDevice({}, {{"CSDEBUG_STDERR", "1"},
                             {"KELWISPRD_TEST_TIME_SCALE", std::to_string(kTimeScale)}}));
        m_device.adopt("TAMO_PREFS_DIR");
        ASSERT_TRUE(TSRegisterAnonymous(&m_watcher, nullptr));
        ASSERT_TRUE(TSGmainAttach(m_watcher, nullptr, nullptr));
        ASSERT_TRUE(TSSignalWatch(m_watcher, kSignals, collectReply, &m_signals, nullptr, nullptr));
    }
    void TearDown() override
    {
        if (m_watcher)
            TSUnregister(m_watcher, nullptr);
    }

    JValue gateway(const std::string& command, const std::string& payload = "{}")
    {
        return control("com.quor.carrier.hotspot", command, payload);
    }
    void configureGateway(const std::string& settings)
    {
        gateway("configure", "{\"settings\":" + settings + "}");
    }
    size_t requests(const std::string& endpoint)
    {
        JValue all = gateway("requests")["requests"];
        size_t found = 0;
        for (size_t i = 0; i < all.arraySize(); i++)
            found += all[i]["endpoint"].asString() == endpoint;
        return found;
    }
    void initLogin(Replies& replies)
    {
        JValue payload = JValue::object();
        payload.put("profileId", JValue(7));
        payload.put("ssid", JValue("KEL WiFi"));
        payload.put("bssid", JValue("00:11:22:33:44:55"));
        payload.put("hotspotInfo", JValue(gateway("redirectPage")["page"].asString()));
        payload.put("interface", JValue("127.0.0.1"));
        m_client->start(std::string("quor://") + kDaemon + "/initLogin", payload.stringify(),
                        replies);
    }
    // The "loginStatus" signal after the `seen` first ones; null when none came.
    JValue signalAfter(size_t seen)
    {
        runUntil([&] { return m_signals.payloads.size() > seen; }, kPatienceMs);
        return m_signals.at(seen);
    }
    size_t signalsSeen() const { return m_signals.payloads.size(); }
    // The account the gateway issued last, as kelwisprd saves it for `imsi`.
    std::string lastIssued(const std::string& imsi)
    {
        JValue accounts = gateway("accounts")["accounts"];
        if (accounts.arraySize() == 0)
            return "<none issued>";
        JValue last = accounts[accounts.arraySize() - 1];
        return R"({"username":")" + last["username"].asString() + R"(","password":")" +
               last["password"].asString() + R"(","imsi":")" + imsi + "\"}";
    }

    TSHandle* m_watcher = nullptr;
    Replies m_signals;
};

// Ten logins cut by SIGKILL during the attempts, ten during the polls, each with another SIM
// than the last so that every login replaces the saved account. After each kill the account
// reads whole: the old one, the one cleared for the new SIM, or the new one; and the next
// "initLogin" logs in.
TEST_F(HotspotFaults, KilledMidLoginTheAccountIsNeverTornAndTheNextLoginSucceeds)
{
    std::mt19937 draw(faultSeed());
    for (int run = 0; run < 20; run++) {
        bool polling = run >= 10;
        std::string imsi = std::string("20810") + std::to_string(1000000000 + run);
        int lateMs = std::uniform_int_distribution<int>(0, polling ? kPollMs + 60 : 60)(draw);
        SCOPED_TRACE("run " + std::to_string(run) + (polling ? ": polls" : ": attempts") +
                     ", kill " + std::to_string(lateMs) + " ms in");
        call("quor://com.quor.telephony/emulator/setSim", R"({"imsi":")" + imsi + "\"}");
        std::string old = savedAccount();
        // Each answer of the watched exchange comes 40 ms late: the window of the kill.
        gateway("behave");
        configureGateway(polling ? R"({"loginResponseCode":201,"pendingPolls":1,)"
                                   R"("misbehave":{"loginResults":{"kind":"delay","amount":40}}})"
                                 : R"({"loginResponseCode":201,"pendingPolls":1,)"
                                   R"("misbehave":{"login":{"kind":"delay","amount":40}}})");
        gateway("clearRequests");

        Replies interrupted;
        initLogin(interrupted);
        ASSERT_EQ(answer(interrupted).stringify(), R"({"returnValue":true})");
        const char* watched = polling ? "loginResults" : "accountCreation";
        ASSERT_TRUE(runUntil([&] { return requests(watched) >= 1; }, kPatienceMs));
        runFor(lateMs);
        int pid = nameOwnerPid(kDaemon);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_TRUE(runUntil([&] { return !nameHasOwner(kDaemon); }, kPatienceMs));

        std::string after = savedAccount();
        std::string issued = lastIssued(imsi);
        EXPECT_TRUE(after == old || after == "{}" || after == issued)
            << "saved account " << after << ", before " << old << ", issued " << issued;

        // The bus starts a new daemon, which logs in (and saves the account it polled for).
        gateway("behave");
        configureGateway(R"({"loginResponseCode":201,"pendingPolls":0})");
        size_t seen = signalsSeen();
        Replies again;
        initLogin(again);
        ASSERT_EQ(answer(again).stringify(), R"({"returnValue":true})");
        ASSERT_EQ(signalAfter(seen).stringify(), kLoggedIn);
        EXPECT_EQ(savedAccount(), lastIssued(imsi));
        Replies logoff;
        m_client->start(std::string("quor://") + kDaemon + "/initLogoff", "{}", logoff);
        EXPECT_EQ(answer(logoff).stringify(), R"({"returnValue":true})");
        ASSERT_EQ(signalAfter(seen + 1).stringify(), kLoggedOff);
        if (HasFailure())
            return;
    }
}

// A gateway that answers the login late and drips its poll results byte by byte: the login
// still succeeds within the exchanges' bounds, and between the blocking exchanges the daemon
// answers the bus.
TEST_F(HotspotFaults, SlowAndDrippingGatewayStillLogsInAndTheBusIsAnsweredBetweenExchanges)
{
    configureGateway(R"({"loginResponseCode":201,"pendingPolls":3,"misbehave":{)"
                     R"("login":{"kind":"delay","amount":300},)"
                     R"("loginResults":{"kind":"drip","amount":1}}})");
    Replies login;
    initLogin(login);
    ASSERT_EQ(answer(login).stringify(), R"({"returnValue":true})");
    ASSERT_TRUE(runUntil([&] { return requests("loginResults") >= 1; }, kPatienceMs));
    // Three more polls, each a dripped reply, are left: the call is answered in between.
    Replies found;
    m_client->start(std::string("quor://") + kDaemon + "/foundNetworks", "{}", found);
    EXPECT_EQ(answer(found).stringify(), R"({"returnValue":true})");
    EXPECT_EQ(signalsSeen(), 0u) << "answered before the login ended";
    ASSERT_EQ(signalAfter(0).stringify(), kLoggedIn);
    EXPECT_EQ(requests("login"), 1u) << "a late answer is no failed attempt";
    EXPECT_EQ(requests("loginResults"), 4u);
}

// A gateway that swallows the first login without a word: that attempt ends at the receive
// time-out, and the next one, once the gateway answers again, logs in.
TEST_F(HotspotFaults, SilentGatewayCostsOneAttemptAndTheNextOneLogsIn)
{
    configureGateway(R"({"loginResponseCode":50,"misbehave":{)"
                     R"("login":{"kind":"silence","times":1}}})");
    Replies login;
    initLogin(login);
    ASSERT_EQ(answer(login).stringify(), R"({"returnValue":true})");
    ASSERT_EQ(signalAfter(0).stringify(), kLoggedIn);
    EXPECT_EQ(requests("login"), 2u);
    EXPECT_TRUE(gateway("status")["status"]["loggedIn"].asBool());
}

} // namespace
