// Faults the voicemail service must survive, driven as the phone drives it: nimbos-emulator on
// its own bus activates the real kelvvm, the new-voicemail SMS starts a synchronization, and
// the emulator's controls slow the carrier down and show what it served. Kill points are drawn
// from a seeded generator; KEL_FAULT_SEED replays a run.
#include "DeviceTest.h"
#include "FaultSeed.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

namespace
{

const char* const kMessages = "com.quor.vvm.kelmessages:1";
const char kKelvvm[] = "com.quor.kelvvm";
const int kCallsPerRun = 50;
// What the carrier takes to answer each SOAP request and each audio request: the window in
// which a kill lands.
const int kCarrierDelayMs = 5;
// How long the carrier holds the download before which the kill is to land: far beyond any lag of
// the test, however loaded the machine.
const int kHoldMs = 10000;
// Long enough for a whole synchronization on a loaded machine or a sanitized build; no step
// waits for it.
const int kPatienceMs = 60000;

std::string callJson(int id)
{
    return "{\"id\":\"" + std::to_string(id) + "\",\"caller\":\"33611" + std::to_string(id) +
           "\",\"duration\":1}";
}

// The carrier's mailbox holds the calls `firstId`… (`calls` of them).
std::string configuration(int firstId, int calls)
{
    std::string list;
    for (int i = 0; i < calls; i++)
        list += (i ? "," : "") + callJson(firstId + i);
    // Subscribed already: the carrier does not forget it when the device restarts.
    return deviceConfiguration("{\"account\":{\"userId\":\"33612345678\",\"subscribed\":true},"
                               "\"calls\":[" +
                               list + "]}");
}

class VoicemailFaults : public DeviceTest
{
  protected:
    VoicemailFaults() : DeviceTest("kelvvm-faults", kPatienceMs) {}

    // Starts the emulator on the state folder (again, after a kill) with the carrier's mailbox
    // of `calls` calls, and waits for the SIM check that the start sets off. A `timeScale`
    // shortens the time-outs and retry waits of the kelvvm it activates.
    void startWithMailbox(int calls, int timeScale = 1)
    {
        m_device.configure(configuration(kFirstCall, calls));
        // kelvvm's lines land in the bus's log, beside the emulator's.
        ASSERT_NO_FATAL_FAILURE(startDevice(
            {"--time-scale", "300"},
            {{"QMLOG_STDERR", "1"}, {"KELVVM_TEST_TIME_SCALE", std::to_string(timeScale)}}));
        m_media = m_device.env("KELVVM_MEDIA_FOLDER");
        ASSERT_TRUE(runUntil([&] { return simCheckDone(); }, kPatienceMs));
    }
    bool simCheckDone()
    {
        JValue sim = activity("KelVvmSimStatus");
        return sim["state"].asString() == "waiting" && !sim["adopted"].asBool() &&
               sim["activity"]["trigger"].hasKey("where");
    }

    JValue platform(const std::string& command, const std::string& payload = "{}")
    {
        return control("com.quor.carrier.voicemail", command, payload);
    }
    JValue records()
    {
        return call("quor://com.quor.db/find",
                    std::string("{\"query\":{\"from\":\"") + kMessages + "\"}}")["results"];
    }
    // Every SOAP answer and every audio download comes `ms` late.
    void slowCarrier(int ms)
    {
        platform("failSoap", "{\"delayMs\":" + std::to_string(ms) + ",\"count\":1000000}");
        platform("setAudio", "{\"delayMs\":" + std::to_string(ms) + "}");
    }

    // The requests the carrier has answered, by SOAP operation or "audio".
    std::map<std::string, int> servedByOperation()
    {
        static const char* const operations[] = {"subscribe", "getUserProfile", "getAllCallOpti",
                                                 "getMessageVocalById"};
        std::map<std::string, int> served;
        JValue all = platform("requests")["requests"];
        for (size_t i = 0; i < all.arraySize(); i++) {
            std::string body = all[i]["body"].asString();
            if (all[i]["method"].asString() == "GET")
                served["audio"]++;
            for (const char* operation : operations)
                served[operation] += body.find(operation) != std::string::npos;
        }
        return served;
    }

    // The new-voicemail SMS, whose answer arrives in `replies`.
    void smsNotification(Replies& replies)
    {
        m_client->start("quor://com.quor.kelvvm/smsNotification", "{}", replies);
    }
    // Every call of the carrier's mailbox has exactly one record, which names its complete
    // audio file, and the media folder holds those files and nothing else.
    void expectMailboxComplete()
    {
        JValue calls = platform("mailbox")["mailbox"]["calls"];
        JValue stored = records();
        std::map<std::string, int> recordsPerCall;
        std::map<std::string, std::string> audioPaths;
        for (size_t i = 0; i < stored.arraySize(); i++) {
            std::string id = stored[i]["id"].asString();
            recordsPerCall[id]++;
            audioPaths[id] = stored[i]["audioPath"].asString();
        }
        std::map<std::string, std::uintmax_t> files = fileSizesIn(m_media);
        std::map<std::string, std::uintmax_t> expectedFiles;
        for (size_t i = 0; i < calls.arraySize(); i++) {
            std::string id = calls[i]["id"].asString();
            EXPECT_EQ(recordsPerCall[id], 1) << "records of call " << id;
            EXPECT_EQ(audioPaths[id], m_media + id + ".amr");
            expectedFiles[id + ".amr"] = std::uintmax_t(calls[i]["audioSize"].asInt64());
        }
        EXPECT_EQ(stored.arraySize(), calls.arraySize()) << "no record without its call";
        EXPECT_EQ(files, expectedFiles) << "the media folder: name → size";
    }

    static const int kFirstCall = 3000;
    std::string m_media;
};

// Twenty synchronizations of fifty new calls each, every one cut by SIGKILL at a drawn point:
// between a download and its record, during the delivery report, while the next message info
// is asked or while its audio downloads. The carrier holds the download after the drawn one,
// so the kill lands inside the synchronization however late the test is. The next SMS must
// leave the mailbox whole.
TEST_F(VoicemailFaults, KilledMidSynchronizationTheNextSmsCompletesTheMailbox)
{
    std::mt19937 draw(faultSeed());
    startWithMailbox(0);
    slowCarrier(kCarrierDelayMs);
    for (int run = 0; run < 20; run++) {
        // Downloads served before the kill (in the order of synchronization), and the time
        // after the last of them; the next one is held.
        int served = std::uniform_int_distribution<int>(0, kCallsPerRun - 1)(draw);
        int lateMs = std::uniform_int_distribution<int>(0, 5 * kCarrierDelayMs)(draw);
        std::string held = std::to_string(kFirstCall + run * kCallsPerRun + served);
        SCOPED_TRACE("run " + std::to_string(run) + ": kill " + std::to_string(lateMs) +
                     " ms after download " + std::to_string(served) + ", call " + held + " held");
        for (int i = 0; i < kCallsPerRun; i++)
            platform("addCall", "{\"call\":" + callJson(kFirstCall + run * kCallsPerRun + i) + "}");
        platform("clearRequests");
        platform("setAudio",
                 "{\"id\":\"" + held + "\",\"delayMs\":" + std::to_string(kHoldMs) + "}");

        Replies interrupted;
        smsNotification(interrupted);
        ASSERT_TRUE(runUntil(
            [&] { return platform("downloads")["downloads"].arraySize() >= size_t(served); },
            kPatienceMs));
        runFor(lateMs);
        int pid = nameOwnerPid(kKelvvm);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        // The bus answers for the process that is gone, and lets its name go.
        EXPECT_FALSE(answer(interrupted)["returnValue"].asBool());
        ASSERT_TRUE(runUntil([&] { return nameOwnerPid(kKelvvm) != pid; }, kPatienceMs));
        platform("setAudio",
                 "{\"id\":\"" + held + "\",\"delayMs\":" + std::to_string(kCarrierDelayMs) + "}");

        Replies again;
        smsNotification(again);
        ASSERT_EQ(answer(again).stringify(), "{\"returnValue\":true}");
        expectMailboxComplete();
        if (HasFailure())
            return;
    }
}

// The device's services die under SIGKILL while kelvvm stores records, and start again on the
// same state folder: what the database had answered with survives, and the next SMS fills in
// the rest.
TEST_F(VoicemailFaults, EmulatorKilledWhileRecordsAreWrittenLosesNothingCommitted)
{
    startWithMailbox(kCallsPerRun);
    slowCarrier(kCarrierDelayMs);
    Replies interrupted;
    smsNotification(interrupted);
    // Each record the database has shown is committed.
    std::map<std::string, std::string> committed;
    ASSERT_TRUE(runUntil(
        [&] {
            JValue seen = records();
            for (size_t i = 0; i < seen.arraySize(); i++)
                committed[seen[i]["_id"].asString()] = seen[i]["id"].asString();
            return committed.size() >= size_t(kCallsPerRun / 2);
        },
        kPatienceMs));
    int bus = nameOwnerPid("org.freedesktop.DBus");
    int writer = nameOwnerPid(kKelvvm);
    m_client.reset();
    m_device.stop(SIGKILL);
    // The device's bus goes with it; kelvvm, blocked in its exchanges with a carrier that is
    // gone too, would take minutes of retries to see it: the crash takes it down as well.
    ASSERT_GT(bus, 0);
    EXPECT_TRUE(runUntil([&] { return kill(bus, 0) != 0; }, kPatienceMs)) << "bus left running";
    ASSERT_GT(writer, 0);
    kill(writer, SIGKILL);

    startWithMailbox(kCallsPerRun);
    JValue stored = records();
    std::map<std::string, std::string> kept;
    for (size_t i = 0; i < stored.arraySize(); i++)
        kept[stored[i]["_id"].asString()] = stored[i]["id"].asString();
    for (const auto& [key, id] : committed)
        EXPECT_EQ(kept[key], id) << "record " << key;
    EXPECT_LT(stored.arraySize(), size_t(kCallsPerRun)) << "the kill came too late to prove it";

    Replies again;
    smsNotification(again);
    ASSERT_EQ(answer(again).stringify(), "{\"returnValue\":true}");
    expectMailboxComplete();
}

// A carrier answering every request late: the synchronization takes longer, asks nothing
// twice, and kelvvm answers "ping" once the blocking exchanges let its loop run.
TEST_F(VoicemailFaults, SlowCarrierIsWaitedForWithoutRetriesAndPingIsAnswered)
{
    startWithMailbox(10);
    slowCarrier(10 * kCarrierDelayMs);
    Replies sms;
    smsNotification(sms);
    ASSERT_TRUE(
        runUntil([&] { return platform("downloads")["downloads"].arraySize() > 0; }, kPatienceMs));
    Replies ping;
    m_client->start("quor://com.quor.kelvvm/ping", "{\"probe\":7}", ping);
    ASSERT_EQ(answer(sms).stringify(), "{\"returnValue\":true}");
    EXPECT_EQ(answer(ping).stringify(), "{\"probe\":7}") << "ping echoes its payload";
    expectMailboxComplete();
    JValue served = platform("requests")["requests"];
    int infos = 0;
    for (size_t i = 0; i < served.arraySize(); i++)
        infos += served[i]["body"].asString().find("getMessageVocalById") != std::string::npos;
    EXPECT_EQ(infos, 10) << "one message info per call";
    EXPECT_EQ(platform("downloads")["downloads"].arraySize(), 10u);
}

// A carrier that never answers, first the web service, then one call's audio: kelvvm gives each
// request its bounded attempts (time-outs and waits shortened for the test), fails or skips
// what it could not get, keeps answering "ping" between its exchanges, and completes the
// mailbox once the carrier answers again.
TEST_F(VoicemailFaults, SilentCarrierIsGivenUpOnWithinBoundsAndCaughtUpWithLater)
{
    startWithMailbox(0, 200);
    // A mailbox the carrier knows: a failed subscription check of a new one erases it.
    Replies first;
    smsNotification(first);
    ASSERT_EQ(answer(first).stringify(), "{\"returnValue\":true}");
    for (int i = 0; i < 3; i++)
        platform("addCall", "{\"call\":" + callJson(kFirstCall + i) + "}");
    platform("clearRequests");

    const std::string forever = "{\"delayMs\":600000";
    platform("failSoap", forever + ",\"count\":1000000}");
    Replies sms;
    smsNotification(sms);
    ASSERT_TRUE(runUntil([&] { return platform("requests")["held"].asInt32() > 0; }, kPatienceMs));
    Replies ping;
    m_client->start("quor://com.quor.kelvvm/ping", "{\"probe\":1}", ping);
    JValue failed = answer(sms);
    EXPECT_EQ(answer(ping).stringify(), "{\"probe\":1}");
    EXPECT_FALSE(failed["returnValue"].asBool()) << failed.stringify();
    // The failure scheduled a retry; dropped here, so that the attempts counted below are those
    // of one synchronization at a time.
    ASSERT_TRUE(runUntil([&] { return !activity("KelVvmSmsSched").isNull(); }, kPatienceMs));
    EXPECT_TRUE(call("quor://com.quor.activitymanager/cancel",
                     "{\"activityName\":\"KelVvmSmsSched\"}")["returnValue"]
                    .asBool());
    // Released now, every held request reaches the log: five attempts of each operation asked.
    platform("recover");
    ASSERT_TRUE(runUntil([&] { return servedByOperation()["getAllCallOpti"] == 5; }, kPatienceMs));
    std::map<std::string, int> served = servedByOperation();
    EXPECT_EQ(served["getUserProfile"], 5);
    EXPECT_EQ(served["subscribe"] + served["getMessageVocalById"] + served["audio"], 0);
    EXPECT_TRUE(records().arraySize() == 0);

    // The web service answers, one call's audio never comes: five attempts, then the call
    // waits for the next synchronization while the others are stored.
    platform("clearRequests");
    const std::string silent = std::to_string(kFirstCall + 1);
    platform("setAudio", "{\"id\":\"" + silent + "\"," + forever.substr(1) + "}");
    Replies partial;
    smsNotification(partial);
    EXPECT_EQ(answer(partial).stringify(), "{\"returnValue\":true}");
    EXPECT_EQ(records().arraySize(), 2u);
    EXPECT_EQ(fileSizesIn(m_media).count(silent + ".amr"), 0u);
    // The last attempt is logged once its held answer is released.
    platform("recover");
    auto attempts = [&] {
        JValue downloads = platform("downloads")["downloads"];
        int count = 0;
        for (size_t i = 0; i < downloads.arraySize(); i++)
            count += downloads[i]["id"].asString() == silent;
        return count;
    };
    ASSERT_TRUE(runUntil([&] { return attempts() >= 5; }, kPatienceMs));
    EXPECT_EQ(attempts(), 5);

    Replies caughtUp;
    smsNotification(caughtUp);
    EXPECT_EQ(answer(caughtUp).stringify(), "{\"returnValue\":true}");
    expectMailboxComplete();
}

// SIGTERM while a silent carrier holds a transfer (real time-outs: two minutes each, five
// attempts): kelvvm gives up the exchange at once, fails the SMS and ends as it always does.
TEST_F(VoicemailFaults, StoppedWhileACarrierIsSilentKelvvmEndsWithoutWaitingForItsTimeOuts)
{
    startWithMailbox(0);
    Replies first;
    smsNotification(first);
    ASSERT_EQ(answer(first).stringify(), "{\"returnValue\":true}");
    platform("failSoap", "{\"delayMs\":600000,\"count\":1000000}");
    Replies sms;
    smsNotification(sms);
    ASSERT_TRUE(runUntil([&] { return platform("requests")["held"].asInt32() > 0; }, kPatienceMs));
    int pid = nameOwnerPid(kKelvvm);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_FALSE(answer(sms)["returnValue"].asBool());
    ASSERT_TRUE(runUntil([&] { return nameOwnerPid(kKelvvm) != pid; }, kPatienceMs));
    std::ifstream log(m_device.stateDir() + "/bus.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Handling signal 15"), std::string::npos);
    EXPECT_NE(text.find("Ending kelvvm with return code 0"), std::string::npos);
    platform("recover");
}

} // namespace
