// The work chain before an activity's own work, against the emulator's database, telephony,
// preferences, system and connection services on a private bus: the mailbox check and record,
// the identity chain, and the account erasure with and without a restart.
#include "BusClient.h"
#include "ConnectionManagerService.h"
#include "DbService.h"
#include "KelVvmActivity.h"
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"
#include "PropertyServices.h"
#include "TamoMessage.h"
#include "TelephonyService.h"
#include "TestBus.h"
#include "TestServiceHost.h"
#include "vtjson.h"

#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace
{

const char* const kMailboxKind = "com.quor.vvm.kelmailbox:1";
const char* const kMessageKind = "com.quor.vvm.kelmessages:1";
const char* const kSimImsi = "208101234567890";
const std::string kErased = "{\"returnValue\":false,\"errorText\":\"User account erased\","
                            "\"errorCode\":666}";
const std::string kSuccess = "{\"returnValue\":true}";

std::string failure(const std::string& text)
{
    return "{\"returnValue\":false,\"errorText\":\"" + text + "\",\"errorCode\":666}";
}

// How each run ended, beyond its answer: "work" or "subscription".
std::vector<std::string> gJournal;
std::vector<std::string> gLogLines;

void captureLog(const char*, int, const char* line, void*)
{
    gLogLines.push_back(line);
}

bool logged(const std::string& text)
{
    for (const std::string& line : gLogLines) {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

// An activity whose own work is only to end, started by a call whose payload says whether it
// may create the mailbox ("create") and whether its work writes to the mailbox ("merges").
class ChainActivity : public KelVvmActivity
{
  public:
    explicit ChainActivity(TSMessage* message) : KelVvmActivity(message)
    {
        m_canCreateMailbox = m_params["create"].asBool();
    }
    void onWork() override
    {
        gJournal.push_back("work");
        if (m_params["merges"].asBool()) {
            updateMailbox("refreshMessages", false);
            JValue props = JValue::object();
            props.put("lastSyncTime", int64_t(1700000000));
            props.put("status", "active");
            updateMailbox(props);
        }
        complete(true);
    }
    void verifySubscription() override
    {
        gJournal.push_back("subscription");
        complete(true);
    }
};

bool handleQueue(TSHandle*, TSMessage* message, void*)
{
    KelVvmActivityMgr::getInstance()->queueActivity(new ChainActivity(message));
    return true;
}

const TSMethod kKelvvm[] = {{"queue", handleQueue, 0}, {}};

class ChainTest : public SharedBusTest
{
  protected:
    static void SetUpTestSuite()
    {
        SharedBusTest::SetUpTestSuite();
        s_host = new TestServiceHost();
        ASSERT_TRUE(TSRegister("com.quor.kelvvm", &s_host->m_serviceHandle, nullptr));
        ASSERT_TRUE(
            TSRegisterCategory(s_host->m_serviceHandle, "/", kKelvvm, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSGmainAttach(s_host->m_serviceHandle, nullptr, nullptr));
        s_client = new BusClient();
        gchar* folder = g_dir_make_tmp("kelvvm-chain-XXXXXX", nullptr);
        ASSERT_NE(folder, nullptr);
        s_folder = folder;
        g_free(folder);
        if (!gLogContext)
            gLogContext = QmLogGetContext("kelvvm");
        QmLogSetLevel(gLogContext, QMLOG_LEVEL_DEBUG);
        QmLogSetCapture(captureLog, nullptr);
    }
    static void TearDownTestSuite()
    {
        QmLogSetCapture(nullptr, nullptr);
        delete s_client;
        TamoMessage::dropPending(s_host->m_serviceHandle);
        TSUnregister(s_host->m_serviceHandle, nullptr);
        delete s_host;
        g_rmdir((s_folder + "/outside").c_str());
        g_rmdir((s_folder + "/media").c_str());
        g_rmdir(s_folder.c_str());
        SharedBusTest::TearDownTestSuite();
    }

    void SetUp() override
    {
        gJournal.clear();
        gLogLines.clear();
        KelVvmServiceValues::s_userAgent.clear();
        KelVvmServiceValues::s_deviceUid.clear();
        KelVvmServiceValues::s_wanIpAddress.clear();
        KelVvmServiceValues::s_accountStatus.clear();
        KelVvmServiceValues::s_imsi.clear();
        KelVvmServiceValues::s_lastSyncTime = 0;
        KelVvmServiceValues::s_offlineCounter = 0;
        g_mkdir_with_parents((s_folder + "/media").c_str(), 0700);
        g_mkdir_with_parents((s_folder + "/outside").c_str(), 0700);
        KelVvmServiceValues::s_mediaFolder = s_folder + "/media/";
        // Fresh services for every case: nothing stored, no calls seen.
        emulator::DeviceContext context;
        m_db = std::make_unique<emulator::DbService>(parseJson("{\"file\":\":memory:\"}"), context);
        m_telephony = std::make_unique<emulator::TelephonyService>(JValue::object(), context);
        m_preferences = std::make_unique<emulator::PreferencesService>(
            parseJson("{\"systemProperties\":{\"com.quor.properties.nduid\":\"nduid-42\"}}"),
            context);
        m_system = std::make_unique<emulator::SystemService>(
            parseJson("{\"preferences\":{\"uaString\":\"KelPhone/1.0\"}}"), context);
        m_connections =
            std::make_unique<emulator::ConnectionManagerService>(JValue::object(), context);
        std::string error;
        for (emulator::DeviceService* service : services())
            ASSERT_TRUE(service->start(error)) << error;
    }
    void TearDown() override
    {
        EXPECT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }))
            << "an activity outlived its test";
        KelVvmActivityMgr::getInstance()->cleanActivities();
        m_connections.reset();
        m_system.reset();
        m_preferences.reset();
        m_telephony.reset();
        m_db.reset();
        for (const char* dir : {"/media", "/outside"}) {
            GDir* entries = g_dir_open((s_folder + dir).c_str(), 0, nullptr);
            while (const char* name = entries ? g_dir_read_name(entries) : nullptr)
                g_remove((s_folder + dir + "/" + name).c_str());
            if (entries)
                g_dir_close(entries);
        }
    }

    std::vector<emulator::DeviceService*> services()
    {
        return {m_db.get(), m_telephony.get(), m_preferences.get(), m_system.get(),
                m_connections.get()};
    }

    static JValue call(const std::string& uri, const std::string& payload)
    {
        return s_client->call(uri, payload);
    }

    // Runs one activity to its end; its caller's answer.
    static std::string run(const std::string& payload = "{}")
    {
        return call("quor://com.quor.kelvvm/queue", payload).stringify();
    }

    // Stores `objects` (a JSON array) and starts the database's call log after them.
    void store(const std::string& objects)
    {
        ASSERT_TRUE(call("quor://com.quor.db/put", "{\"objects\":" + objects + "}")["returnValue"]
                        .asBool());
        m_dbCallsBefore = call("quor://com.quor.db/emulator/calls", "{}")["calls"].arraySize();
    }

    // "method payload" of each call `service` received since the last `store`, in order.
    std::vector<std::string> calls(const std::string& service, size_t from = 0)
    {
        JValue all = call("quor://" + service + "/emulator/calls", "{}")["calls"];
        std::vector<std::string> lines;
        for (size_t i = from; i < all.arraySize(); i++)
            lines.push_back(all[i]["method"].asString() + " " + all[i]["payload"].stringify());
        return lines;
    }
    std::vector<std::string> dbCalls() { return calls("com.quor.db", m_dbCallsBefore); }

    // The stored objects of `kind` that are not marked deleted.
    JValue live(const std::string& kind)
    {
        return call("quor://com.quor.db/find",
                    "{\"query\":{\"from\":\"" + kind + "\"}}")["results"];
    }

    std::string mediaFile(const std::string& name) { return s_folder + "/media/" + name; }
    static void writeFile(const std::string& path) { std::ofstream(path) << "audio"; }

    static TestServiceHost* s_host;
    static BusClient* s_client;
    static std::string s_folder;
    std::unique_ptr<emulator::DbService> m_db;
    std::unique_ptr<emulator::TelephonyService> m_telephony;
    std::unique_ptr<emulator::PreferencesService> m_preferences;
    std::unique_ptr<emulator::SystemService> m_system;
    std::unique_ptr<emulator::ConnectionManagerService> m_connections;
    size_t m_dbCallsBefore = 0;
};

TestServiceHost* ChainTest::s_host = nullptr;
BusClient* ChainTest::s_client = nullptr;
std::string ChainTest::s_folder;

const std::string kFindMailbox = "find {\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"}}";
const std::string kDelMailbox = "del {\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"}}";
// Every message record, the deleted ones too.
const std::string kEveryMessage =
    "{\"from\":\"com.quor.vvm.kelmessages:1\",\"where\":[{\"prop\":\"_del\",\"op\":\"!=\","
    "\"val\":\"any\"}],\"select\":[\"id\",\"read\",\"readMessage\",\"audioPath\",\"_del\","
    "\"reallyDeleted\"]}";
const std::string kFindMessages = "find {\"query\":" + kEveryMessage + "}";
const std::string kPurgeMessages = "del {\"query\":" + kEveryMessage + ",\"purge\":true}";

std::string mergeInto(const std::string& props)
{
    return "merge {\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"},\"props\":" + props + "}";
}
const std::string kMarkErasing = mergeInto("{\"erasing\":true}");

// A mailbox record as an earlier run left it; `extra` adds keys.
std::string mailbox(const std::string& extra = "")
{
    return std::string("{\"_kind\":\"") + kMailboxKind +
           "\",\"status\":\"active\",\"userAgent\":\"\",\"deviceUid\":\"\",\"imsi\":\"" + kSimImsi +
           "\"" + extra + "}";
}

TEST_F(ChainTest, WithoutARecordOnlyAnActivityThatMayCreateOneGoesOn)
{
    store("[]");
    EXPECT_EQ(run("{\"create\":true}"), kSuccess);
    EXPECT_EQ(gJournal, std::vector<std::string>{"subscription"})
        << "a record made in this run ends the chain in the subscription check";
    EXPECT_EQ(
        dbCalls(),
        (std::vector<std::string>{
            kFindMailbox,
            "put {\"objects\":[{\"_kind\":\"com.quor.vvm.kelmailbox:1\",\"refreshStatus\":"
            "false,\"refreshMessages\":false,\"service\":\"kel\",\"voicemailNumber\":"
            "\"123\",\"numMessages\":0,\"status\":\"none\",\"userAgent\":\"\","
            "\"serialNumber\":\"\",\"deviceUid\":\"\",\"imsi\":\"\"}]}",
            mergeInto("{\"imsi\":\"208101234567890\"}"), mergeInto("{\"deviceUid\":\"nduid-42\"}"),
            mergeInto("{\"userAgent\":\"KelPhone/1.0\"}")}));
    JValue records = live(kMailboxKind);
    ASSERT_EQ(records.arraySize(), 1u);
    EXPECT_EQ(records[0]["imsi"].asString(), kSimImsi);
    EXPECT_EQ(records[0]["deviceUid"].asString(), "nduid-42");
    EXPECT_EQ(records[0]["userAgent"].asString(), "KelPhone/1.0");
    EXPECT_EQ(KelVvmServiceValues::s_wanIpAddress, "127.0.0.1");

    // Any other activity erases instead, and nothing is created.
    ASSERT_TRUE(call("quor://com.quor.db/del", "{\"query\":{\"from\":\"" +
                                                   std::string(kMailboxKind) +
                                                   "\"},\"purge\":true}")["returnValue"]
                    .asBool());
    store("[]");
    EXPECT_EQ(run(), failure("User account erased"));
    EXPECT_EQ(dbCalls(),
              (std::vector<std::string>{kFindMailbox, kMarkErasing, kFindMessages, kDelMailbox}));
    EXPECT_EQ(live(kMailboxKind).arraySize(), 0u);
    EXPECT_EQ(gJournal, std::vector<std::string>{"subscription"});
}

TEST_F(ChainTest, OneRecordFillsTheProcessCopiesAbsentKeysGivingEmptyAndZero)
{
    KelVvmServiceValues::s_lastSyncTime = 5;
    KelVvmServiceValues::s_offlineCounter = 6;
    KelVvmServiceValues::s_accountStatus = "stale";
    store(std::string("[{\"_kind\":\"") + kMailboxKind + "\",\"status\":\"pending\"}]");
    EXPECT_EQ(run(), kSuccess);
    EXPECT_EQ(gJournal, std::vector<std::string>{"work"});
    EXPECT_EQ(KelVvmServiceValues::s_lastSyncTime, 0);
    EXPECT_EQ(KelVvmServiceValues::s_offlineCounter, 0);
    EXPECT_EQ(KelVvmServiceValues::s_accountStatus, "pending");
    // The record had no IMSI: the SIM's is taken and written.
    EXPECT_EQ(KelVvmServiceValues::s_imsi, kSimImsi);
    EXPECT_EQ(live(kMailboxKind)[0]["imsi"].asString(), kSimImsi);

    store("[]");
    ASSERT_TRUE(call("quor://com.quor.db/merge",
                     "{\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"},\"props\":{"
                     "\"lastSyncTime\":4294967298,\"offlineCounter\":-3,\"userAgent\":\"UA-7\","
                     "\"deviceUid\":\"uid-7\"}}")["returnValue"]
                    .asBool());
    EXPECT_EQ(run(), kSuccess);
    EXPECT_EQ(KelVvmServiceValues::s_lastSyncTime, 4294967298LL);
    EXPECT_EQ(KelVvmServiceValues::s_offlineCounter, -3);
    EXPECT_EQ(KelVvmServiceValues::s_userAgent, "UA-7");
    EXPECT_EQ(KelVvmServiceValues::s_deviceUid, "uid-7");
}

TEST_F(ChainTest, SeveralRecordsEraseTheAccountInOrderThenTheRestartEndsErased)
{
    writeFile(mediaFile("m1.amr"));
    writeFile(mediaFile("m2.amr"));
    writeFile(mediaFile("m4.amr"));
    // m4: deleted by the user, its deletion not carried yet; it goes with the rest.
    store("[" + mailbox() + "," + mailbox() + ",{\"_id\":\"m1\",\"_kind\":\"" + kMessageKind +
          "\",\"audioPath\":\"" + mediaFile("m1.amr") + "\"},{\"_id\":\"m2\",\"_kind\":\"" +
          kMessageKind + "\",\"audioPath\":\"" + mediaFile("m2.amr") +
          "\"},{\"_id\":\"m3\",\"_kind\":\"" + kMessageKind +
          "\",\"audioPath\":\"\"},{\"_id\":\"m4\",\"_kind\":\"" + kMessageKind +
          "\",\"_del\":true,\"audioPath\":\"" + mediaFile("m4.amr") + "\"}]");
    EXPECT_EQ(run("{\"create\":false}"), failure("User account erased"));
    EXPECT_EQ(dbCalls(), (std::vector<std::string>{
                             kFindMailbox, kMarkErasing, kFindMessages, kPurgeMessages, kDelMailbox,
                             // Started over: no record now, so erased again.
                             kFindMailbox, kMarkErasing, kFindMessages, kDelMailbox}));
    for (const char* file : {"m1.amr", "m2.amr", "m4.amr"})
        EXPECT_FALSE(g_file_test(mediaFile(file).c_str(), G_FILE_TEST_EXISTS)) << file;
    JValue left = call("quor://com.quor.db/emulator/objects",
                       std::string("{\"from\":\"") + kMessageKind + "\"}")["results"];
    EXPECT_EQ(left.arraySize(), 0u) << left.stringify();
    EXPECT_TRUE(gJournal.empty());
}

// A kill in the middle of an erasure (after the files, before the records) leaves the marked
// mailbox record: the next run erases again, with the SIM and network now those of the account.
TEST_F(ChainTest, AnErasureCutShortIsDoneAgainByTheNextRun)
{
    writeFile(mediaFile("m2.amr"));
    store("[" + mailbox(",\"erasing\":true") + ",{\"_id\":\"m1\",\"_kind\":\"" + kMessageKind +
          "\",\"audioPath\":\"" + mediaFile("m1.amr") + "\"},{\"_id\":\"m2\",\"_kind\":\"" +
          kMessageKind + "\",\"audioPath\":\"" + mediaFile("m2.amr") + "\"}]");
    EXPECT_EQ(run("{\"create\":true}"), kSuccess);
    // The new record's first run: the subscription check.
    EXPECT_EQ(gJournal, std::vector<std::string>{"subscription"});
    EXPECT_FALSE(g_file_test(mediaFile("m2.amr").c_str(), G_FILE_TEST_EXISTS));
    JValue left = call("quor://com.quor.db/emulator/objects",
                       std::string("{\"from\":\"") + kMessageKind + "\"}")["results"];
    EXPECT_EQ(left.arraySize(), 0u) << left.stringify();
    // Started over on a new record, which carries no mark.
    JValue mailboxes = live(kMailboxKind);
    ASSERT_EQ(mailboxes.arraySize(), 1u);
    EXPECT_FALSE(mailboxes[0].hasKey("erasing")) << mailboxes[0].stringify();
    EXPECT_EQ(mailboxes[0]["imsi"].asString(), kSimImsi);
}

TEST_F(ChainTest, TheErasureRemovesOnlyAudioFilesDirectlyInsideTheMediaFolder)
{
    std::string outside = s_folder + "/outside/victim";
    std::string climbing = s_folder + "/media/../outside/climber";
    writeFile(outside);
    writeFile(s_folder + "/outside/climber");
    writeFile(mediaFile("inside.amr"));
    // Left by a kill between a download's rename and its record: no record names it.
    writeFile(mediaFile("orphan.amr"));
    writeFile(mediaFile("notes.txt"));
    store(std::string("[{\"_id\":\"a\",\"_kind\":\"") + kMessageKind + "\",\"audioPath\":\"" +
          outside + "\"},{\"_id\":\"b\",\"_kind\":\"" + kMessageKind + "\",\"audioPath\":\"" +
          climbing + "\"},{\"_id\":\"c\",\"_kind\":\"" + kMessageKind + "\",\"audioPath\":\"" +
          mediaFile("inside.amr") + "\"},{\"_id\":\"d\",\"_kind\":\"" + kMessageKind +
          "\",\"audioPath\":\"" + s_folder + "/media/\"}]");
    EXPECT_EQ(run(), failure("User account erased"));
    EXPECT_TRUE(g_file_test(outside.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_TRUE(g_file_test((s_folder + "/outside/climber").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_TRUE(g_file_test((s_folder + "/media").c_str(), G_FILE_TEST_IS_DIR));
    EXPECT_FALSE(g_file_test(mediaFile("inside.amr").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test(mediaFile("orphan.amr").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_TRUE(g_file_test(mediaFile("notes.txt").c_str(), G_FILE_TEST_EXISTS));
    // Every record still goes, whatever its path.
    EXPECT_EQ(dbCalls(), (std::vector<std::string>{kFindMailbox, kMarkErasing, kFindMessages,
                                                   kPurgeMessages, kDelMailbox}));
}

TEST_F(ChainTest, TheSimDecidesWhetherTheAccountStays)
{
    // Equal: the chain goes on, and the IMSI is not written again.
    store("[" + mailbox() + "]");
    EXPECT_EQ(run(), kSuccess);
    EXPECT_EQ(dbCalls(), (std::vector<std::string>{kFindMailbox,
                                                   mergeInto("{\"deviceUid\":"
                                                             "\"nduid-42\"}"),
                                                   mergeInto("{\"userAgent\":\"KelPhone/1.0\"}")}));

    // Different: erased at once, no network query, started over and then ended.
    size_t platformQueries = calls("com.quor.telephony").size();
    ASSERT_TRUE(call("quor://com.quor.telephony/emulator/setSim",
                     "{\"imsi\":\"208109999999999\"}")["returnValue"]
                    .asBool());
    store("[]");
    EXPECT_EQ(run(), failure("User account erased"));
    EXPECT_EQ(calls("com.quor.telephony", platformQueries),
              (std::vector<std::string>{"imsiQuery {}"}));
    EXPECT_EQ(dbCalls(),
              (std::vector<std::string>{kFindMailbox, kMarkErasing, kFindMessages, kDelMailbox,
                                        kFindMailbox, kMarkErasing, kFindMessages, kDelMailbox}));
    EXPECT_EQ(gJournal, std::vector<std::string>{"work"});

    // Unreadable SIM.
    ASSERT_TRUE(call("quor://com.quor.telephony/emulator/setSim", "{\"imsi\":\"\"}")["returnValue"]
                    .asBool());
    store("[" + mailbox() + "]");
    EXPECT_EQ(run(), failure("Unexpected IMSI Query failure"));
}

TEST_F(ChainTest, AnActivityThatMayCreateMeetsAChangedSimOnceThenStartsAFreshAccount)
{
    store("[" + mailbox() + "]");
    ASSERT_TRUE(call("quor://com.quor.telephony/emulator/setSim",
                     "{\"imsi\":\"208109999999999\"}")["returnValue"]
                    .asBool());
    EXPECT_EQ(run("{\"create\":true}"), kSuccess);
    EXPECT_EQ(gJournal, std::vector<std::string>{"subscription"});
    JValue records = live(kMailboxKind);
    ASSERT_EQ(records.arraySize(), 1u);
    EXPECT_EQ(records[0]["imsi"].asString(), "208109999999999");
}

TEST_F(ChainTest, OnlyTheCarriersNetworkCodesKeepTheAccount)
{
    struct Case {
        const char* mcc;
        const char* mnc;
        bool accepted;
        const char* logged;
    } cases[] = {{"208", "10", true, "208/10"},  {"208", "11", true, "208/11"},
                 {"208", "13", true, "208/13"},  {"0", "0", true, "0/0"},
                 {"", "x", true, "0/0"},         {" +208", "10abc", true, "208/10"},
                 {"208", "12", false, "208/12"}, {"208", "1", false, "208/1"},
                 {"209", "10", false, "209/10"}, {"0", "10", false, "0/10"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mcc) + "/" + c.mnc);
        gLogLines.clear();
        ASSERT_TRUE(call("quor://com.quor.telephony/emulator/setSim",
                         std::string("{\"mcc\":\"") + c.mcc + "\",\"mnc\":\"" + c.mnc +
                             "\"}")["returnValue"]
                        .asBool());
        if (live(kMailboxKind).arraySize() == 0)
            store("[" + mailbox() + "]");
        else
            store("[]");
        EXPECT_EQ(run(), c.accepted ? kSuccess : failure("User account erased"));
        EXPECT_TRUE(logged(std::string(") mcc/mnc: ") + c.logged));
        if (!c.accepted) {
            EXPECT_EQ(dbCalls(), (std::vector<std::string>{kFindMailbox, kMarkErasing,
                                                           kFindMessages, kDelMailbox}))
                << "erased once: no restart";
        }
    }
}

TEST_F(ChainTest, CachedIdentityMakesNoBusCallButIsStillWrittenToTheRecord)
{
    KelVvmServiceValues::s_wanIpAddress = "127.0.0.9";
    store("[" +
          mailbox(",\"deviceUid\":\"uid-c\"")
              .replace(mailbox().find("\"userAgent\":\"\""), 14, "\"userAgent\":\"ua-c\"") +
          "]");
    EXPECT_EQ(run("{\"merges\":true}"), kSuccess);
    EXPECT_TRUE(calls("com.quor.preferences").empty());
    EXPECT_TRUE(calls("com.quor.systemservice").empty());
    EXPECT_TRUE(calls("com.quor.connectionmanager").empty());
    EXPECT_EQ(dbCalls(),
              (std::vector<std::string>{
                  kFindMailbox, mergeInto("{\"deviceUid\":\"uid-c\"}"),
                  mergeInto("{\"userAgent\":\"ua-c\"}"), mergeInto("{\"refreshMessages\":false}"),
                  mergeInto("{\"lastSyncTime\":1700000000,\"status\":\"active\"}")}));
    EXPECT_EQ(KelVvmServiceValues::s_wanIpAddress, "127.0.0.9");
    EXPECT_EQ(live(kMailboxKind)[0]["refreshMessages"].stringify(), "false");
}

TEST_F(ChainTest, TheWanAddressComesFromAConnectionThatIsNotDisconnected)
{
    store("[" + mailbox() + "]");
    ASSERT_TRUE(call("quor://com.quor.connectionmanager/emulator/setWan",
                     "{\"state\":\"disconnected\"}")["returnValue"]
                    .asBool());
    EXPECT_EQ(run(), failure("No WAN IP available"));
    EXPECT_TRUE(gJournal.empty());

    ASSERT_TRUE(call("quor://com.quor.connectionmanager/emulator/setWan",
                     "{\"state\":\"connecting\",\"ipAddress\":\"127.0.0.7\"}")["returnValue"]
                    .asBool());
    EXPECT_EQ(run(), kSuccess);
    EXPECT_EQ(KelVvmServiceValues::s_wanIpAddress, "127.0.0.7");
    EXPECT_TRUE(logged(") WAN IP: 127.0.0.7"));
}

TEST_F(ChainTest, AFailedQueryEndsTheActivityWithItsText)
{
    store("[" + mailbox() + "]");
    m_preferences->stop();
    EXPECT_EQ(run(), failure("Unexpected Query failure"));
    m_db->stop();
    EXPECT_EQ(run(), failure("Unexpected Query failure"));
    EXPECT_TRUE(gJournal.empty());
}

} // namespace
