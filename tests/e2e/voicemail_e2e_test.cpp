// The voicemail service as the phone uses it: nimbos-emulator on its own bus activates the real
// kelvvm, and every step goes through what a phone has: the SMS notification, the phone app's
// database writes, telephony's SIM, the activity manager's schedules and the carrier's platform.
#include "DeviceTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace
{

const int kCalls = 10;
const char* const kMessages = "com.quor.vvm.kelmessages:1";
const char* const kMailbox = "com.quor.vvm.kelmailbox:1";
// Long enough for a whole synchronization on a loaded machine; no step waits for it.
const int kPatienceMs = 30000;

// The carrier's mailbox: ten calls with audio, the account not subscribed yet.
std::string configuration()
{
    std::string calls;
    for (int i = 1; i <= kCalls; i++) {
        calls += std::string(calls.empty() ? "" : ",") + "{\"id\":\"" + std::to_string(2000 + i) +
                 "\",\"date\":\"2026-12-07T09:" + std::to_string(10 + i) +
                 ":00+01:00\",\"caller\":\"3361111111" + std::to_string(i % 10) +
                 "\",\"duration\":" + std::to_string(i) + "}";
    }
    return deviceConfiguration("{\"namespace\":\"http://ws.vvm.example.invalid/\",\"account\":{"
                               "\"userId\":\"33612345678\",\"subscribed\":false},\"calls\":[" +
                               calls + "]}");
}

std::set<std::string> filesIn(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.insert(entry.path().filename().string());
    return names;
}

class VoicemailEndToEndTest : public DeviceTest
{
  protected:
    VoicemailEndToEndTest() : DeviceTest("kelvvm-e2e", kPatienceMs) {}
    void SetUp() override
    {
        m_device.configure(configuration());
        // kelvvm's lines land in the bus's log, beside the emulator's.
        m_env["QMLOG_STDERR"] = "1";
        ASSERT_NO_FATAL_FAILURE(startDevice({"--time-scale", "300"}, m_env));
        m_media = m_device.env("KELVVM_MEDIA_FOLDER");
        ASSERT_EQ(m_media, m_device.stateDir() + "/media/kel/");
        // The SIM-status activity activates kelvvm at once; its account check must be over
        // (re-armed on the next change of state) before the phone does anything else.
        if (m_waitForSimCheck) {
            ASSERT_TRUE(runUntil([&] { return simStatusArmedOn("simready"); }, kPatienceMs));
        }
    }

    JValue find(const std::string& kind)
    {
        return call("quor://com.quor.db/find",
                    "{\"query\":{\"from\":\"" + kind + "\"}}")["results"];
    }
    JValue record(const std::string& id)
    {
        JValue all = find(kMessages);
        for (size_t i = 0; i < all.arraySize(); i++) {
            if (all[i]["id"].asString() == id)
                return all[i];
        }
        return JValue();
    }
    JValue platformCall(const std::string& id)
    {
        JValue calls =
            call("quor://com.quor.carrier.voicemail/emulator/mailbox")["mailbox"]["calls"];
        for (size_t i = 0; i < calls.arraySize(); i++) {
            if (calls[i]["id"].asString() == id)
                return calls[i];
        }
        return JValue();
    }
    bool simStatusArmedOn(const std::string& state)
    {
        JValue sim = activity("KelVvmSimStatus");
        JValue where = sim["activity"]["trigger"]["where"];
        return sim["state"].asString() == "waiting" && !sim["adopted"].asBool() &&
               where["val"].asString() == state;
    }

    // The new-voicemail SMS: kelvvm creates the mailbox, subscribes and synchronizes.
    void receiveNewVoicemailSms()
    {
        JValue reply = call("quor://com.quor.kelvvm/smsNotification");
        ASSERT_EQ(reply.stringify(), "{\"returnValue\":true}");
        ASSERT_EQ(find(kMessages).arraySize(), size_t(kCalls));
    }

    std::string m_media;
    bool m_waitForSimCheck = true;
    std::map<std::string, std::string> m_env;
};

// The phone starts and a new-voicemail SMS arrives while the SIM check that the start set off
// is still to come.
class VoicemailAtStartUp : public VoicemailEndToEndTest
{
  protected:
    VoicemailAtStartUp() { m_waitForSimCheck = false; }
};

// The phone in ordinary use, with kelvvm's idle period of 30 s down to half a second.
class VoicemailInUse : public VoicemailEndToEndTest
{
  protected:
    VoicemailInUse() { m_env["KELVVM_TEST_TIME_SCALE"] = "60"; }
};

TEST_F(VoicemailEndToEndTest, NewVoicemailSmsCreatesTheMailboxSubscribesAndSynchronizes)
{
    receiveNewVoicemailSms();
    JValue mailboxes = find(kMailbox);
    ASSERT_EQ(mailboxes.arraySize(), 1u);
    EXPECT_EQ(mailboxes[0]["imsi"].asString(), "208101234567890");
    JValue account =
        call("quor://com.quor.carrier.voicemail/emulator/mailbox")["mailbox"]["account"];
    EXPECT_TRUE(account["subscribed"].asBool()) << account.stringify();
    std::set<std::string> expected;
    JValue records = find(kMessages);
    for (int i = 1; i <= kCalls; i++) {
        std::string id = std::to_string(2000 + i);
        expected.insert(id + ".amr");
        EXPECT_EQ(record(id)["audioPath"].asString(), m_media + id + ".amr");
        EXPECT_TRUE(platformCall(id)["delivered"].asBool()) << id;
    }
    EXPECT_EQ(filesIn(m_media), expected) << "every file in the emulator's state folder";
}

TEST_F(VoicemailEndToEndTest, ListenedAndDeletedMessagesReachTheCarrierThroughThePlatform)
{
    receiveNewVoicemailSms();
    // The phone app: one message listened to, one deleted.
    std::string listened = record("2003")["_id"].asString();
    call("quor://com.quor.db/merge",
         "{\"objects\":[{\"_id\":\"" + listened + "\",\"readMessage\":true}]}");
    ASSERT_TRUE(runUntil([&] { return platformCall("2003")["state"].asString() == "ARC_MSG"; },
                         kPatienceMs));
    ASSERT_TRUE(runUntil([&] { return record("2003")["read"].asBool(); }, kPatienceMs));
    EXPECT_FALSE(record("2003")["readMessage"].asBool());

    std::string deleted = record("2005")["_id"].asString();
    std::string file = m_media + "2005.amr";
    ASSERT_TRUE(g_file_test(file.c_str(), G_FILE_TEST_EXISTS));
    JValue marked = call("quor://com.quor.db/del", "{\"ids\":[\"" + deleted + "\"]}");
    ASSERT_TRUE(marked["returnValue"].asBool()) << marked.stringify();
    ASSERT_TRUE(runUntil([&] { return platformCall("2005").isNull(); }, kPatienceMs));
    ASSERT_TRUE(
        runUntil([&] { return !g_file_test(file.c_str(), G_FILE_TEST_EXISTS); }, kPatienceMs));
    JValue kept = call("quor://com.quor.db/emulator/objects",
                       std::string("{\"from\":\"") + kMessages + "\"}")["results"];
    bool reallyDeleted = false;
    for (size_t i = 0; i < kept.arraySize(); i++) {
        if (kept[i]["_id"].asString() == deleted)
            reallyDeleted = kept[i]["reallyDeleted"].asBool();
    }
    EXPECT_TRUE(reallyDeleted);
    EXPECT_FALSE(platformCall("2004").isNull()) << "only the deleted one goes";
}

TEST_F(VoicemailEndToEndTest, SimSwapErasesTheAccount)
{
    receiveNewVoicemailSms();
    // The user takes the SIM out and puts another one in.
    call("quor://com.quor.telephony/emulator/setSimState", "{\"state\":\"nosim\"}");
    ASSERT_TRUE(runUntil([&] { return simStatusArmedOn("nosim"); }, kPatienceMs));
    EXPECT_EQ(find(kMailbox).arraySize(), 1u) << "no SIM is not another SIM";
    call("quor://com.quor.telephony/emulator/setSim", "{\"imsi\":\"208109999999999\"}");
    call("quor://com.quor.telephony/emulator/setSimState", "{\"state\":\"simready\"}");
    ASSERT_TRUE(runUntil([&] { return simStatusArmedOn("simready"); }, kPatienceMs));
    ASSERT_TRUE(runUntil([&] { return find(kMailbox).arraySize() == 0; }, kPatienceMs));
    ASSERT_TRUE(runUntil([&] { return find(kMessages).arraySize() == 0; }, kPatienceMs));
    EXPECT_TRUE(filesIn(m_media).empty());
}

TEST_F(VoicemailEndToEndTest, AFailedRefreshIsRetriedThroughScheduledAndSynchronizes)
{
    receiveNewVoicemailSms();
    call("quor://com.quor.carrier.voicemail/emulator/addCall",
         "{\"call\":{\"id\":\"2100\",\"duration\":2}}");
    // The carrier's platform answers the next call list with a server fault (HTTP 500).
    JValue failing = call("quor://com.quor.carrier.voicemail/emulator/failSoap",
                          "{\"operation\":\"getAllCallOpti\",\"fault\":\"Generic_InternalError\"}");
    ASSERT_TRUE(failing["returnValue"].asBool()) << failing.stringify();
    JValue refresh = call("quor://com.quor.kelvvm/refreshMessages");
    EXPECT_FALSE(refresh["returnValue"].asBool());
    EXPECT_EQ(refresh["errorCode"].asInt32(), 666);
    JValue retry = activity("KelVvmRefreshSched");
    ASSERT_TRUE(retry.isObject()) << "the retry is scheduled";
    EXPECT_EQ(retry["activity"]["schedule"]["interval"].asString(), "15m");
    // kelvvm keeps the real clock while the emulator runs 300 times faster: move its last
    // synchronization back by the quarter of an hour the retry stands for.
    JValue mailbox = find(kMailbox)[0];
    call("quor://com.quor.db/merge",
         "{\"objects\":[{\"_id\":\"" + mailbox["_id"].asString() + "\",\"lastSyncTime\":" +
             std::to_string(mailbox["lastSyncTime"].asInt64() - 900) + "}]}");
    EXPECT_FALSE(record("2100").isObject());
    ASSERT_TRUE(runUntil([&] { return record("2100").isObject(); }, kPatienceMs))
        << "the retry came back through \"scheduled\" and synchronized";
    EXPECT_TRUE(activity("KelVvmRefreshSched").isNull()) << "a retry runs once";
    EXPECT_TRUE(g_file_test((m_media + "2100.amr").c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(VoicemailEndToEndTest, GreetingFileIsUploadedAndStoredByThePlatform)
{
    receiveNewVoicemailSms();
    std::string greeting("#!AMR\n", 6);
    for (int frame = 0; frame < 50; frame++)
        greeting += std::string(1, '\x3c') + std::string(31, char('a' + frame % 26));
    std::string path = m_device.stateDir() + "/greeting.amr";
    std::ofstream(path, std::ios::binary) << greeting;
    EXPECT_EQ(
        call("quor://com.quor.kelvvm/setGreeting", "{\"filePath\":\"" + path + "\"}").stringify(),
        "{\"returnValue\":true}");
    JValue stored =
        call("quor://com.quor.carrier.voicemail/emulator/mailbox")["mailbox"]["greeting"];
    EXPECT_TRUE(stored["set"].asBool());
    EXPECT_EQ(stored["size"].asInt64(), int64_t(greeting.size()));
    EXPECT_TRUE(stored["amr"].asBool());
}

// The SIM check finds no mailbox when it starts; the SMS's synchronization creates one. The
// check waits for it, then finds the mailbox of this SIM and leaves it and its messages alone.
TEST_F(VoicemailAtStartUp, TheSimCheckKeepsTheMailboxAnSmsCreatesMeanwhile)
{
    receiveNewVoicemailSms();
    ASSERT_TRUE(runUntil([&] { return simStatusArmedOn("simready"); }, kPatienceMs));
    EXPECT_EQ(find(kMailbox).arraySize(), 1u);
    EXPECT_EQ(find(kMessages).arraySize(), size_t(kCalls));
    EXPECT_EQ(filesIn(m_media).size(), size_t(kCalls));
}

// While the SIM cannot be read a delete run can only fail, and its trigger holds: the runs wait
// longer and longer, kelvvm reaches its idle exit, and the deletion reaches the carrier once the
// SIM reads again, at the latest with the next synchronization.
TEST_F(VoicemailInUse, FailedDeleteRunsWaitLongerEachTimeAndTheDeletionArrivesLater)
{
    receiveNewVoicemailSms();
    control("com.quor.telephony", "setSim", "{\"imsi\":\"\"}");
    std::string deleted = record("2005")["_id"].asString();
    call("quor://com.quor.db/del", "{\"ids\":[\"" + deleted + "\"]}");
    auto runs = [&] { return activity("KelVvmMessagesDeleted")["callbacks"].asInt64(); };
    ASSERT_TRUE(runUntil([&] { return runs() >= 2; }, kPatienceMs)) << "a wait is no stop";
    // Ten emulated minutes at 300 times: waits of 1, 2, 4 and 8 minutes allow four runs.
    runUntil([] { return false; }, 2000);
    EXPECT_LE(runs(), 5);
    EXPECT_TRUE(runUntil([] { return !nameHasOwner("com.quor.kelvvm"); }, kPatienceMs))
        << "kelvvm reaches its idle exit while the condition lasts";
    EXPECT_FALSE(platformCall("2005").isNull());

    control("com.quor.telephony", "setSim", "{\"imsi\":\"208101234567890\"}");
    EXPECT_EQ(call("quor://com.quor.kelvvm/smsNotification").stringify(), "{\"returnValue\":true}");
    EXPECT_TRUE(platformCall("2005").isNull());
    EXPECT_FALSE(g_file_test((m_media + "2005.amr").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_TRUE(record("2005").isNull()) << "not stored again";
}

// A "ping" answered while a synchronization waits for the IMSI (2 s) does not end kelvvm under
// it.
TEST_F(VoicemailInUse, APingDuringASynchronizationDoesNotEndItByTheIdleExit)
{
    control("com.quor.telephony", "setSim", "{\"imsiDelayMs\":600000}");
    Replies sms;
    m_client->start("quor://com.quor.kelvvm/smsNotification", "{}", sms);
    runUntil([] { return false; }, 300);
    EXPECT_EQ(call("quor://com.quor.kelvvm/ping", "{\"a\":1}").stringify(), "{\"a\":1}");
    EXPECT_EQ(answer(sms).stringify(), "{\"returnValue\":true}");
    EXPECT_EQ(find(kMessages).arraySize(), size_t(kCalls));
}

} // namespace
