// The voicemail activities and the bus methods that start them, on a private bus against the
// emulator's device services and voicemail platform. Activities named "Direct…" skip the
// identity steps and go straight to their own work, so that each activity's work is checked on
// its own; the method cases go through kelvvm's real method table.
#include "ActivityManagerService.h"
#include "ConnectionManagerService.h"
#include "DbService.h"
#include "DeleteMessageActivity.h"
#include "HttpRequest.h"
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceApp.h"
#include "KelVvmUtils.h"
#include "MessageRefreshActivity.h"
#include "PropertyServices.h"
#include "ReadMessageActivity.h"
#include "ScheduledActivity.h"
#include "SetGreetingActivity.h"
#include "SimStatusActivity.h"
#include "TamoMessage.h"
#include "TelephonyService.h"
#include "TestBus.h"
#include "VoicemailPlatform.h"

#include <glib-unix.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{

// What the test doubles saw, in order.
std::vector<std::string> gJournal;

template <typename Activity> class Direct : public Activity
{
  public:
    using Activity::Activity;
    void getMailbox() override { this->onWork(); }
};

// The refresh's own decisions, with the report and the synchronization recorded.
class DirectRefresh : public Direct<MessageRefreshActivity>
{
  public:
    using Direct::Direct;
    void sendUsageReport() override { gJournal.push_back("report"); }
    void syncMessages() override
    {
        gJournal.push_back("sync");
        complete(true);
    }
};

// Holds the queue until the test answers the call it waits on.
std::vector<TSMessage*> gHeld;
class Blocker : public KelVvmActivity
{
  public:
    Blocker() : KelVvmActivity(nullptr) { m_activityType = 99; }
    void execute() override
    {
        ownedRequest("quor://com.quor.kelvvmtest/hold", "{}", [](TSHandle*, TSMessage*, void* a) {
            static_cast<KelVvmActivity*>(a)->complete(true);
            return true;
        });
    }
};

bool handleHold(TSHandle*, TSMessage* message, void*)
{
    TSMessageRef(message);
    gHeld.push_back(message);
    return true;
}

void releaseHeld()
{
    for (TSMessage* message : gHeld) {
        TSMessageRespond(message, "{\"returnValue\":true}", nullptr);
        TSMessageUnref(message);
    }
    gHeld.clear();
}

bool handleGreeting(TSHandle*, TSMessage* message, void*)
{
    KelVvmActivityMgr::getInstance()->queueActivity(new Direct<SetGreetingActivity>(message));
    return true;
}

const TSMethod kTestMethods[] = {
    {"hold", handleHold, 0}, {"greeting", handleGreeting, 0}, {nullptr, nullptr, 0}};

bool collect(TSHandle*, TSMessage* reply, void* context)
{
    static_cast<std::vector<std::string>*>(context)->push_back(TSMessageGetPayload(reply));
    return true;
}

std::vector<std::string> gLogLines;
void captureLog(const char*, int, const char* line, void*)
{
    gLogLines.push_back(line);
}

size_t countLines(const std::string& text)
{
    size_t count = 0;
    for (const std::string& line : gLogLines)
        count += line.find(text) != std::string::npos;
    return count;
}

int64_t gNow = 0;
int64_t testClock()
{
    return gNow;
}

class VoicemailActivitiesTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        s_bus = new TestBus();
        emulator::DeviceContext context;
        context.timeScale = 1000;
        JValue db = JValue::object();
        db.put("file", ":memory:");
        s_services.push_back(std::make_unique<emulator::DbService>(db, context));
        s_services.push_back(
            std::make_unique<emulator::TelephonyService>(JValue::object(), context));
        s_services.push_back(
            std::make_unique<emulator::ConnectionManagerService>(JValue::object(), context));
        s_services.push_back(
            std::make_unique<emulator::ActivityManagerService>(JValue::object(), context, "."));
        s_services.push_back(std::make_unique<emulator::PreferencesService>(
            vtjsonParse("{\"systemProperties\":{\"com.quor.properties.nduid\":\"0123abcd\"}}"),
            context));
        s_services.push_back(std::make_unique<emulator::SystemService>(
            vtjsonParse("{\"preferences\":{\"uaString\":\"KelVvmTest/1.0\"}}"), context));
        for (auto& service : s_services) {
            std::string error;
            ASSERT_TRUE(service->start(error)) << error;
        }
        s_platform = new emu::vvm::VoicemailPlatform(vtjsonParse(
            "{\"namespace\":\"http://ws.test.invalid/\",\"calls\":[{\"id\":\"1001\"},{\"id\":"
            "\"1002\"},{\"id\":\"1003\"},{\"id\":\"1004\"}]}"));
        s_platform->start();
        KelVvmRequest::s_vvmUrl = s_platform->serviceUrl();
        KelVvmRequest::s_webNamespace = "http://ws.test.invalid/";
        HttpRequest::s_sleepHook = [](unsigned) {};
        KelVvmServiceApp::s_wanIpAddress = "127.0.0.1";
        KelVvmServiceApp::getInstance()->setupService();
        ASSERT_TRUE(TSRegister("com.quor.kelvvmtest", &s_test, nullptr));
        ASSERT_TRUE(TSRegisterCategory(s_test, "/", kTestMethods, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSGmainAttach(s_test, nullptr, nullptr));
        ASSERT_TRUE(TSRegisterAnonymous(&s_client, nullptr));
        ASSERT_TRUE(TSGmainAttach(s_client, nullptr, nullptr));
    }
    static void TearDownTestSuite()
    {
        TSUnregister(s_client, nullptr);
        TSUnregister(s_test, nullptr);
        TamoMessage::dropPending(KelVvmServiceApp::getInstance()->m_serviceHandle);
        TSUnregister(KelVvmServiceApp::getInstance()->m_serviceHandle, nullptr);
        KelVvmServiceApp::getInstance()->m_serviceHandle = nullptr;
        delete s_platform;
        s_services.clear();
        delete s_bus;
    }

    void SetUp() override
    {
        gJournal.clear();
        gLogLines.clear();
        QmLogSetCapture(captureLog, nullptr);
        QmLogSetLevel(gLogContext, QMLOG_LEVEL_DEBUG);
        char pattern[] = "/tmp/kelvvm-activities-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_folder = pattern;
        KelVvmServiceApp::s_mediaFolder = m_folder + "/media/";
        g_mkdir(KelVvmServiceApp::s_mediaFolder.c_str(), 0755);
        s_platform->control(vtjsonParse("{\"command\":\"clearRequests\"}"));
        // Deleted records too (a clause on "_del" brings them): a case leaves some behind.
        call("quor://com.quor.db/del",
             "{\"query\":{\"from\":\"com.quor.vvm.kelmessages:1\",\"where\":[{\"prop\":"
             "\"_del\",\"op\":\"!=\",\"val\":\"any\"}]},\"purge\":true}");
        call("quor://com.quor.db/del",
             "{\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"},\"purge\":true}");
        m_managerCallsBefore = managerCalls().arraySize();
        MessageRefreshActivity::s_testClock = testClock;
        KelVvmServiceApp::getInstance()->stopIdleTimer();
    }
    void TearDown() override
    {
        releaseHeld();
        EXPECT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }))
            << "an activity outlived its test";
        // Mailbox merges are sent without waiting; their answers must come before the next
        // test (or the end of the process) forgets the calls.
        EXPECT_TRUE(runUntil([] {
            return countLines("KelVvmActivity::handleMailboxUdpate") >=
                   countLines("KelVvmActivity::updateMailbox");
        }));
        KelVvmActivityMgr::getInstance()->cleanActivities();
        KelVvmServiceApp::getInstance()->stopIdleTimer();
        MessageRefreshActivity::s_testClock = nullptr;
        QmLogSetCapture(nullptr, nullptr);
        std::filesystem::remove_all(m_folder);
    }

    // The first reply, as sent; empty when none came.
    static std::string callText(const std::string& uri, const std::string& payload)
    {
        std::vector<std::string> replies;
        EXPECT_TRUE(TSCallOneReply(s_client, uri.c_str(), payload.c_str(), collect, &replies,
                                   nullptr, nullptr));
        EXPECT_TRUE(runUntil([&] { return !replies.empty(); })) << uri;
        return replies.empty() ? "" : replies[0];
    }
    static JValue call(const std::string& uri, const std::string& payload)
    {
        std::string text = callText(uri, payload);
        return text.empty() ? JValue() : vtjsonParse(text);
    }
    static void callInto(const std::string& uri, const std::string& payload,
                         std::vector<std::string>& replies)
    {
        ASSERT_TRUE(TSCallOneReply(s_client, uri.c_str(), payload.c_str(), collect, &replies,
                                   nullptr, nullptr));
    }
    static void runToEnd(KelVvmActivity* activity)
    {
        KelVvmActivityMgr::getInstance()->queueActivity(activity);
        ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    }
    static JValue find(const std::string& kind)
    {
        return call("quor://com.quor.db/find",
                    "{\"query\":{\"from\":\"" + kind + "\"}}")["results"];
    }
    static JValue records()
    {
        return call("quor://com.quor.db/emulator/objects",
                    "{\"from\":\"com.quor.vvm.kelmessages:1\"}")["results"];
    }
    static JValue managerCalls()
    {
        return call("quor://com.quor.activitymanager/emulator/calls", "{}")["calls"];
    }
    // The activity manager's calls of `method` since the test began.
    JValue managerCallsOf(const std::string& method)
    {
        JValue calls = managerCalls();
        JValue matching = JValue::array();
        for (size_t i = m_managerCallsBefore; i < calls.arraySize(); i++) {
            if (calls[i]["method"].asString() == method)
                matching.append(calls[i]["payload"]);
        }
        return matching;
    }
    // The SOAP operations the platform received, in order, each as "operation id".
    static std::vector<std::string> soapOperations()
    {
        std::vector<std::string> operations;
        JValue requests = s_platform->requests();
        for (size_t i = 0; i < requests.arraySize(); i++) {
            std::string body = requests[i]["body"].asString();
            for (const char* operation :
                 {"archiveCall", "deleteMultipleMessages", "setInviteMessage"}) {
                size_t at = body.find(std::string("<web:") + operation + ">");
                if (at == std::string::npos)
                    continue;
                size_t idAt = body.find("<web:idCall>", at);
                if (idAt == std::string::npos)
                    idAt = body.find("<web:string>", at);
                std::string id;
                if (idAt != std::string::npos) {
                    size_t start = body.find('>', idAt) + 1;
                    id = " " + body.substr(start, body.find('<', start) - start);
                }
                operations.push_back(operation +
                                     (std::string(operation) == "setInviteMessage" ? "" : id));
            }
        }
        return operations;
    }
    std::string writeFile(const std::string& name, const std::string& bytes)
    {
        std::string path = m_folder + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static int64_t createPlatformActivity(const std::string& name)
    {
        JValue reply = call("quor://com.quor.activitymanager/create",
                            "{\"activity\":{\"name\":\"" + name +
                                "\",\"schedule\":{\"interval\":\"1d\"},\"callback\":{\"method\":"
                                "\"quor://com.quor.kelvvm/ping\"}},\"start\":true}");
        EXPECT_TRUE(reply["returnValue"].asBool()) << reply.stringify();
        return reply["activityId"].asInt64();
    }

    // The activity manager's call for platform activity `id`, whose trigger saw a ready SIM.
    static std::string simReady(int64_t id)
    {
        return callText("quor://com.quor.kelvvm/simStatusQuery",
                        "{\"$activity\":{\"activityId\":" + std::to_string(id) +
                            ",\"trigger\":{\"returnValue\":true,\"extended\":{\"state\":"
                            "\"simready\"}}}}");
    }

    static TestBus* s_bus;
    static std::vector<std::unique_ptr<emulator::DeviceService>> s_services;
    static emu::vvm::VoicemailPlatform* s_platform;
    static TSHandle* s_test;
    static TSHandle* s_client;
    std::string m_folder;
    size_t m_managerCallsBefore = 0;
};

TestBus* VoicemailActivitiesTest::s_bus = nullptr;
std::vector<std::unique_ptr<emulator::DeviceService>> VoicemailActivitiesTest::s_services;
emu::vvm::VoicemailPlatform* VoicemailActivitiesTest::s_platform = nullptr;
TSHandle* VoicemailActivitiesTest::s_test = nullptr;
TSHandle* VoicemailActivitiesTest::s_client = nullptr;

const char* const kGreetingUri = "quor://com.quor.kelvvmtest/greeting";

// ---- Greeting

TEST_F(VoicemailActivitiesTest, GreetingUploadsTheFileBytesAsOneAmrElementAndLeavesTheFile)
{
    std::string bytes("#!AMR\n\x3c\x00\xff\x10 greeting", 19);
    std::string path = writeFile("greeting.amr", bytes);
    EXPECT_EQ(callText(kGreetingUri, "{\"filePath\":\"" + path + "\"}"), "{\"returnValue\":true}");
    JValue requests = s_platform->requests();
    ASSERT_EQ(requests.arraySize(), 1u);
    std::string body = requests[0]["body"].asString();
    gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    EXPECT_NE(body.find(std::string("<web:content>") + encoded + "</web:content>"),
              std::string::npos)
        << body;
    g_free(encoded);
    EXPECT_NE(body.find("<web:format>AMR</web:format>"), std::string::npos);
    EXPECT_EQ(s_platform->greeting(), bytes);
    std::ifstream file(path, std::ios::binary);
    std::stringstream kept;
    kept << file.rdbuf();
    EXPECT_EQ(kept.str(), bytes) << "the greeting file is only read";
}

TEST_F(VoicemailActivitiesTest, GreetingFailuresAnswerTheirTextAndSendNothingBeforeTheUpload)
{
    std::string empty = writeFile("empty.amr", "");
    std::string fifo = m_folder + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string huge = writeFile("huge.amr", "");
    ASSERT_EQ(truncate(huge.c_str(), (4ll << 30) + 6), 0);
    std::string overBound = writeFile("over.amr", std::string(1024 * 1024 + 1, 'a'));
    const struct {
        std::string payload;
        const char* text;
    } cases[] = {
        {"{}", "Unable to open file"},
        {"{\"filePath\":7}", "Unable to open file"},
        {"{\"filePath\":\"" + m_folder + "/missing.amr\"}", "Unable to open file"},
        // Not a regular file: never read, and a FIFO without a writer never blocks the loop.
        {"{\"filePath\":\"" + m_folder + "\"}", "Unable to open file"},
        {"{\"filePath\":\"/dev/zero\"}", "Unable to open file"},
        {"{\"filePath\":\"" + fifo + "\"}", "Unable to open file"},
        {"{\"filePath\":\"" + empty + "\"}", "Failed to mmap file"},
        // Sparse: nothing is read. 4 GiB + 6 bytes once went out as 6 bytes, and succeeded.
        {"{\"filePath\":\"" + huge + "\"}",
         "Greeting file too large: 4294967302 bytes, at most 1048576"},
        {"{\"filePath\":\"" + overBound + "\"}",
         "Greeting file too large: 1048577 bytes, at most 1048576"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(callText(kGreetingUri, c.payload),
                  std::string("{\"returnValue\":false,\"errorText\":\"") + c.text +
                      "\",\"errorCode\":666}")
            << c.payload;
    }
    EXPECT_EQ(s_platform->requests().arraySize(), 0u);
}

TEST_F(VoicemailActivitiesTest, GreetingRefusedByTheServerFailsTheUpload)
{
    std::string path = writeFile("greeting.amr", "#!AMR\n1234");
    s_platform->control(vtjsonParse("{\"command\":\"failSoap\",\"operation\":\"setInviteMessage\","
                                    "\"fault\":\"Generic_InvalidRequest\"}"));
    EXPECT_EQ(callText(kGreetingUri, "{\"filePath\":\"" + path + "\"}"),
              "{\"returnValue\":false,\"errorText\":\"Failed to upload file\",\"errorCode\":666}");
}

// The first reply of `uri` called by `tamoSend` (a copy nobody may run) running as the user
// nobody, with no group but nogroup; the test's loop serves the call meanwhile.
std::string callAsNobody(const std::string& tamoSend, const std::string& uri,
                         const std::string& payload)
{
    const char* argv[] = {"setpriv",        "--reuid=65534", "--regid=65534", "--clear-groups",
                          tamoSend.c_str(), uri.c_str(),     payload.c_str(), nullptr};
    GPid pid = 0;
    gint out = -1;
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                                  nullptr, nullptr, &pid, nullptr, &out, nullptr, &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return "";
    }
    g_unix_set_fd_nonblocking(out, TRUE, nullptr);
    std::string text;
    bool ended = runUntil([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(out, buffer, sizeof buffer)) > 0)
            text.append(buffer, size_t(n));
        return n == 0;
    });
    EXPECT_TRUE(ended) << "tamo-send did not end";
    close(out);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    g_spawn_close_pid(pid);
    return text.substr(0, text.find('\n'));
}

TEST_F(VoicemailActivitiesTest, GreetingIsReadOnlyWhereTheCallersOwnUserCouldReadIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "calling as the user nobody needs root";
    auto groups = [] {
        std::vector<gid_t> list(size_t(getgroups(0, nullptr)));
        list.resize(size_t(getgroups(int(list.size()), list.data())));
        return list;
    };
    const std::vector<gid_t> groupsBefore = groups();
    // The folder lets others through to what they may read; "private" does not.
    ASSERT_EQ(chmod(m_folder.c_str(), 0711), 0);
    std::string open = writeFile("open.amr", "#!AMR\nopen");
    ASSERT_EQ(chmod(open.c_str(), 0644), 0);
    std::string rootOnly = writeFile("root-only.amr", "#!AMR\nsecret");
    ASSERT_EQ(chmod(rootOnly.c_str(), 0600), 0);
    ASSERT_EQ(mkdir((m_folder + "/private").c_str(), 0700), 0);
    std::string hidden = writeFile("private/hidden.amr", "#!AMR\nhidden");
    ASSERT_EQ(chmod(hidden.c_str(), 0644), 0);
    // The build tree may sit where nobody cannot enter (a clone under /root).
    const std::string tamoSend = m_folder + "/tamo-send";
    ASSERT_TRUE(std::filesystem::copy_file(TAMO_SEND, tamoSend));
    ASSERT_EQ(chmod(tamoSend.c_str(), 0755), 0);

    const std::string refused = "{\"returnValue\":false,\"errorText\":\"Greeting file not "
                                "readable by the caller\",\"errorCode\":666}";
    EXPECT_EQ(callAsNobody(tamoSend, kGreetingUri, "{\"filePath\":\"" + rootOnly + "\"}"), refused);
    EXPECT_EQ(callAsNobody(tamoSend, kGreetingUri, "{\"filePath\":\"" + hidden + "\"}"), refused)
        << "readable bits on a file in a folder the caller cannot enter";
    EXPECT_EQ(s_platform->requests().arraySize(), 0u);
    EXPECT_EQ(callAsNobody(tamoSend, kGreetingUri, "{\"filePath\":\"" + open + "\"}"),
              "{\"returnValue\":true}");
    EXPECT_EQ(s_platform->greeting(), "#!AMR\nopen");
    // Root, as ever, may send any file; the service's own identity is whole again.
    EXPECT_EQ(callText(kGreetingUri, "{\"filePath\":\"" + hidden + "\"}"),
              "{\"returnValue\":true}");
    EXPECT_EQ(s_platform->greeting(), "#!AMR\nhidden");
    EXPECT_EQ(groups(), groupsBefore);
}

// ---- Read and delete

std::string messageRecord(const std::string& id, const std::string& extra)
{
    return "{\"_kind\":\"com.quor.vvm.kelmessages:1\",\"id\":\"" + id + "\"" + extra + "}";
}

std::string recordsPayload(const std::vector<std::string>& objects)
{
    std::string list;
    for (const std::string& object : objects)
        list += (list.empty() ? "" : ",") + object;
    return "{\"objects\":[" + list + "]}";
}

TEST_F(VoicemailActivitiesTest, ReadArchivesEachListenedMessageInResultOrderAndMarksItRead)
{
    call("quor://com.quor.db/put",
         recordsPayload({messageRecord("1003", ",\"readMessage\":true,\"read\":false"),
                         messageRecord("1001", ",\"readMessage\":false,\"read\":false"),
                         messageRecord("1002", ",\"readMessage\":true,\"read\":false")}));
    runToEnd(new Direct<ReadMessageActivity>(nullptr));
    EXPECT_EQ(soapOperations(), (std::vector<std::string>{"archiveCall 1003", "archiveCall 1002"}));
    ASSERT_TRUE(runUntil([] {
        JValue all = records();
        return all.arraySize() == 3 && !all[0]["readMessage"].asBool() &&
               !all[2]["readMessage"].asBool();
    }));
    JValue all = records();
    EXPECT_TRUE(all[0]["read"].asBool());
    EXPECT_FALSE(all[1]["read"].asBool()) << "a message not listened to is left alone";
    EXPECT_TRUE(all[2]["read"].asBool());
    EXPECT_EQ(countLines("ReadMessageActivity::onWork"), 1u);

    // Nothing left to archive: no request, and the activity still completes.
    s_platform->control(vtjsonParse("{\"command\":\"clearRequests\"}"));
    runToEnd(new Direct<ReadMessageActivity>(nullptr));
    EXPECT_TRUE(soapOperations().empty());
}

TEST_F(VoicemailActivitiesTest, DeleteRemovesOnTheServerAndInTheMediaFolderOnlyOnce)
{
    std::string media = KelVvmServiceApp::s_mediaFolder;
    std::string first = media + "1001.amr";
    std::string second = media + "1002.amr";
    std::string outside = writeFile("keep.amr", "not ours");
    std::ofstream(first) << "a";
    std::ofstream(second) << "b";
    call("quor://com.quor.db/put",
         recordsPayload({
             messageRecord("1002", ",\"_del\":true,\"audioPath\":\"" + second + "\""),
             messageRecord("1004", ",\"_del\":true,\"reallyDeleted\":true"),
             messageRecord("1001",
                           ",\"_del\":true,\"readMessage\":true,\"audioPath\":\"" + first + "\""),
             // A path outside the media folder (a record anyone could have written).
             messageRecord("1003", ",\"_del\":true,\"audioPath\":\"" + outside + "\""),
         }));
    runToEnd(new Direct<DeleteMessageActivity>(nullptr));
    EXPECT_EQ(soapOperations(), (std::vector<std::string>{"deleteMultipleMessages 1002",
                                                          "deleteMultipleMessages 1001",
                                                          "deleteMultipleMessages 1003"}));
    EXPECT_FALSE(g_file_test(first.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test(second.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_TRUE(g_file_test(outside.c_str(), G_FILE_TEST_EXISTS))
        << "a file outside the media folder is never removed";
    ASSERT_TRUE(runUntil([] { return records()[3]["reallyDeleted"].asBool(); }));
    JValue all = records();
    for (int i : {0, 2, 3}) {
        EXPECT_TRUE(all[i]["reallyDeleted"].asBool()) << i;
        EXPECT_FALSE(all[i]["readMessage"].asBool()) << i;
        EXPECT_EQ(all[i]["audioPath"].asString(), "") << i;
    }

    // Each was told once: the next run selects nothing.
    s_platform->control(vtjsonParse("{\"command\":\"clearRequests\"}"));
    runToEnd(new Direct<DeleteMessageActivity>(nullptr));
    EXPECT_TRUE(soapOperations().empty());
}

// ---- Refresh, scheduled

// A deletion the carrier does not take stays pending, file and all, and the run fails; one the
// carrier no longer knows counts as carried.
TEST_F(VoicemailActivitiesTest, ADeletionTheCarrierDoesNotTakeStaysPendingForTheNextRun)
{
    std::string file = KelVvmServiceApp::s_mediaFolder + "1001.amr";
    std::ofstream(file) << "a";
    call("quor://com.quor.db/put",
         recordsPayload({messageRecord("1001", ",\"_del\":true,\"audioPath\":\"" + file + "\"")}));
    s_platform->control(vtjsonParse("{\"command\":\"failSoap\",\"operation\":"
                                    "\"deleteMultipleMessages\",\"fault\":\"Generic_Error\"}"));
    runToEnd(new Direct<DeleteMessageActivity>(nullptr));
    EXPECT_TRUE(g_file_test(file.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(records()[0]["reallyDeleted"].asBool());
    EXPECT_EQ(countLines("Deleting call 1001 on the carrier failed; kept for the next run"), 1u);

    s_platform->control(vtjsonParse("{\"command\":\"failSoap\",\"operation\":"
                                    "\"deleteMultipleMessages\",\"fault\":"
                                    "\"Generic_MessageNotFound\"}"));
    runToEnd(new Direct<DeleteMessageActivity>(nullptr));
    EXPECT_FALSE(g_file_test(file.c_str(), G_FILE_TEST_EXISTS));
    ASSERT_TRUE(runUntil([] { return records()[0]["reallyDeleted"].asBool(); }));
}

TEST_F(VoicemailActivitiesTest, RefreshReportsEveryTimeAndSynchronizesAtMostOnceInTwoMinutes)
{
    call("quor://com.quor.db/put",
         "{\"objects\":[{\"_kind\":\"com.quor.vvm.kelmailbox:1\",\"lastSyncTime\":1000}]}");
    const struct {
        int64_t now;
        int64_t last;
        std::vector<std::string> journal;
    } cases[] = {
        {1060, 1000, {"report"}},         // 60 s after
        {1120, 1000, {"report"}},         // exactly 120 s
        {1121, 1000, {"report", "sync"}}, // 121 s
        {1000, 5000, {"report"}},         // a last synchronization in the future
        {5121, 5000, {"report", "sync"}},
    };
    for (const auto& c : cases) {
        gJournal.clear();
        gNow = c.now;
        KelVvmServiceApp::s_lastSyncTime = c.last;
        runToEnd(new DirectRefresh(nullptr));
        EXPECT_EQ(gJournal, c.journal) << c.now << " after " << c.last;
        EXPECT_EQ(KelVvmServiceApp::s_lastSyncTime, c.journal.size() == 2 ? c.now : c.last);
    }
    EXPECT_EQ(countLines("MessageRefreshActivity::onWork - Skip message sync"), 3u);
}

TEST_F(VoicemailActivitiesTest, RefreshStoresItsSynchronizationTimeAndClearsTheRefreshFlag)
{
    call("quor://com.quor.db/put",
         "{\"objects\":[{\"_kind\":\"com.quor.vvm.kelmailbox:1\",\"refreshMessages\":true,"
         "\"lastSyncTime\":1000}]}");
    gNow = 1121;
    KelVvmServiceApp::s_lastSyncTime = 1000;
    runToEnd(new DirectRefresh(nullptr));
    ASSERT_TRUE(runUntil([] {
        JValue mailbox = call("quor://com.quor.db/find",
                              "{\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"}}")["results"][0];
        return mailbox["lastSyncTime"].asInt64() == 1121 && !mailbox["refreshMessages"].asBool();
    }));
}

TEST_F(VoicemailActivitiesTest, ScheduledStartsTheActivityItsRetryNameStandsForAndAnswersAtOnce)
{
    const struct {
        const char* name;
        const char* started;
    } cases[] = {
        {"KelVvmRefreshSched", "New MessageRefreshActivity"},
        {"KelVvmSmsSched", "New SmsNotificationActivity"},
        {"KelVvmOther", nullptr},
    };
    for (const auto& c : cases) {
        gLogLines.clear();
        // With the queue held, the started activity can only wait behind the blocker.
        KelVvmActivityMgr::getInstance()->queueActivity(new Blocker());
        ASSERT_TRUE(runUntil([] { return gHeld.size() == 1; }));
        std::vector<std::string> replies;
        callInto("quor://com.quor.kelvvm/scheduled",
                 std::string("{\"$activity\":{\"activityId\":9,\"name\":\"") + c.name + "\"}}",
                 replies);
        ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->queued() == 1; }));
        releaseHeld();
        ASSERT_TRUE(runUntil([&] { return !replies.empty(); }));
        EXPECT_EQ(replies[0], "{\"returnValue\":true}") << c.name;
        EXPECT_EQ(countLines("New MessageRefreshActivity") +
                      countLines("New SmsNotificationActivity"),
                  c.started ? 1u : 0u)
            << c.name;
        if (c.started) {
            EXPECT_EQ(countLines(c.started), 1u) << c.name;
        }
        ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    }
}

// An SMS retry and a refresh retry due together each start their activity; a second retry of
// one name is a duplicate.
TEST_F(VoicemailActivitiesTest, RetriesOfDifferentKindsDueTogetherBothRun)
{
    KelVvmActivityMgr::getInstance()->queueActivity(new Blocker());
    ASSERT_TRUE(runUntil([] { return gHeld.size() == 1; }));
    std::vector<std::string> replies[3];
    const char* names[] = {"KelVvmSmsSched", "KelVvmRefreshSched", "KelVvmSmsSched"};
    for (int i = 0; i < 3; i++) {
        callInto("quor://com.quor.kelvvm/scheduled",
                 std::string("{\"$activity\":{\"activityId\":9,\"name\":\"") + names[i] + "\"}}",
                 replies[i]);
    }
    ASSERT_TRUE(runUntil([&] { return !replies[2].empty(); }));
    EXPECT_EQ(KelVvmActivityMgr::getInstance()->queued(), 2u);
    releaseHeld();
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }, 10000));
    EXPECT_EQ(countLines("New SmsNotificationActivity"), 1u);
    EXPECT_EQ(countLines("New MessageRefreshActivity"), 1u);
    for (const auto& reply : replies)
        EXPECT_EQ(reply.at(0), "{\"returnValue\":true}");
}

// ---- SIM status

TEST_F(VoicemailActivitiesTest, SimStatusCompletesWithATriggerOnTheNextDifferentState)
{
    const struct {
        const char* trigger;
        const char* val;
    } cases[] = {
        {"{\"returnValue\":true,\"extended\":{\"state\":\"simlocked\"}}", "simlocked"},
        {"{\"returnValue\":true,\"extended\":{\"state\":\"nosim\"}}", "nosim"},
        {"{\"returnValue\":true}", ""},
        {"{\"returnValue\":true,\"extended\":{\"state\":3}}", ""},
    };
    for (const auto& c : cases) {
        int64_t id = createPlatformActivity("sim-status");
        std::string payload = "{\"$activity\":{\"activityId\":" + std::to_string(id) +
                              ",\"name\":\"sim-status\",\"trigger\":" + c.trigger + "}}";
        EXPECT_EQ(callText("quor://com.quor.kelvvm/simStatusQuery", payload),
                  "{\"returnValue\":true}");
        ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
        JValue completes = managerCallsOf("complete");
        ASSERT_GE(completes.arraySize(), 1u);
        EXPECT_EQ(completes[completes.arraySize() - 1].stringify(),
                  "{\"activityId\":" + std::to_string(id) +
                      ",\"restart\":true,\"trigger\":{\"method\":\"quor://com.quor.telephony/"
                      "simStatusQuery\",\"params\":{\"subscribe\":true},\"where\":{\"prop\":["
                      "\"extended\",\"state\"],\"op\":\"!=\",\"val\":\"" +
                      c.val + "\"}}}")
            << c.trigger;
        call("quor://com.quor.activitymanager/cancel", "{\"activityName\":\"sim-status\"}");
    }
    EXPECT_EQ(countLines("KelVvmActivity::getMailbox"), 0u) << "only a ready SIM is checked";
}

const char* const kMailboxOfThisSim = "{\"objects\":[{\"_kind\":\"com.quor.vvm.kelmailbox:1\","
                                      "\"imsi\":\"208101234567890\",\"status\":\"active\"}]}";

TEST_F(VoicemailActivitiesTest, SimStatusWithAReadySimChecksTheAccountAndStopsAtTheNetworkCodes)
{
    call("quor://com.quor.db/put", kMailboxOfThisSim);
    size_t telephonyBefore =
        call("quor://com.quor.telephony/emulator/calls", "{}")["calls"].arraySize();
    int64_t id = createPlatformActivity("sim-ready");
    EXPECT_EQ(simReady(id), "{\"returnValue\":true}");
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    JValue completes = managerCallsOf("complete");
    ASSERT_EQ(completes.arraySize(), 1u);
    EXPECT_TRUE(completes[0]["restart"].asBool());
    EXPECT_EQ(completes[0]["trigger"]["where"]["val"].asString(), "simready");
    JValue telephony = call("quor://com.quor.telephony/emulator/calls", "{}")["calls"];
    std::vector<std::string> methods;
    for (size_t i = telephonyBefore; i < telephony.arraySize(); i++)
        methods.push_back(telephony[i]["method"].asString());
    // The re-armed trigger subscribes to the SIM state again; the network codes are never asked.
    EXPECT_EQ(methods, (std::vector<std::string>{"imsiQuery", "simStatusQuery"}));
    EXPECT_EQ(find("com.quor.vvm.kelmailbox:1").arraySize(), 1u) << "the account stays";
    call("quor://com.quor.activitymanager/cancel", "{\"activityName\":\"sim-ready\"}");
}

// The account check of a ready SIM may erase the account: run beside another activity's chain,
// it would take the mailbox record that activity has just created for a missing one and erase
// it, with the messages stored since. It waits for its turn in the queue.
TEST_F(VoicemailActivitiesTest, SimStatusWaitsForTheActivityInTheQueueBeforeCheckingTheAccount)
{
    call("quor://com.quor.db/put", kMailboxOfThisSim);
    KelVvmActivityMgr::getInstance()->queueActivity(new Blocker());
    ASSERT_TRUE(runUntil([] { return gHeld.size() == 1; }));
    int64_t id = createPlatformActivity("sim-queued");
    EXPECT_EQ(simReady(id), "{\"returnValue\":true}");
    ASSERT_TRUE(runUntil([] { return countLines("SimStatusActivity::onAdopted") == 1; }));
    EXPECT_EQ(countLines("KelVvmActivity::getMailbox"), 0u) << "checked beside the queue";
    EXPECT_EQ(KelVvmActivityMgr::getInstance()->queued(), 1u);

    releaseHeld();
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    EXPECT_EQ(countLines("KelVvmActivity::getMailbox"), 1u);
    JValue completes = managerCallsOf("complete");
    ASSERT_EQ(completes.arraySize(), 1u);
    EXPECT_EQ(completes[0]["trigger"]["where"]["val"].asString(), "simready");
    EXPECT_EQ(find("com.quor.vvm.kelmailbox:1").arraySize(), 1u);
    call("quor://com.quor.activitymanager/cancel", "{\"activityName\":\"sim-queued\"}");
}

// Completes as soon as it runs, with the given restart.
class CompletingSimStatus : public SimStatusActivity
{
  public:
    CompletingSimStatus(int64_t id, bool restart) : SimStatusActivity(nullptr), m_restart(restart)
    {
        m_activityId = id;
        m_simState = "simready";
    }
    void execute() override { complete(m_restart); }
    bool m_restart;
};

TEST_F(VoicemailActivitiesTest, SimStatusCompletionWithoutRestartKeepsTheTrigger)
{
    int64_t id = createPlatformActivity("sim-status-end");
    runToEnd(new CompletingSimStatus(id, false));
    JValue completes = managerCallsOf("complete");
    ASSERT_EQ(completes.arraySize(), 1u);
    EXPECT_EQ(completes[0]["restart"].stringify(), "false");
    EXPECT_EQ(completes[0]["trigger"]["where"]["val"].asString(), "simready");
    EXPECT_EQ(call("quor://com.quor.activitymanager/cancel",
                   "{\"activityName\":\"sim-status-end\"}")["returnValue"]
                  .asBool(),
              false)
        << "a completion without restart removes the platform activity";
}

// ---- The methods

TEST_F(VoicemailActivitiesTest, MethodsRunTheirActivityThroughTheWholeChainAndAnswerAsTheyShould)
{
    call("quor://com.quor.db/put", kMailboxOfThisSim);
    call("quor://com.quor.db/put", recordsPayload({messageRecord("1001", ",\"readMessage\":true"),
                                                   messageRecord("1002", ",\"_del\":true")}));
    // Queued: the caller learns the outcome.
    std::string path = writeFile("greeting.amr", "#!AMR\nabc");
    EXPECT_EQ(callText("quor://com.quor.kelvvm/setGreeting", "{\"filePath\":\"" + path + "\"}"),
              "{\"returnValue\":true}");
    EXPECT_EQ(s_platform->greeting(), "#!AMR\nabc");
    // Adopted: the caller learns at once that the work was taken; the end goes to the activity
    // manager, with restart so that the platform activity keeps watching.
    for (const char* method : {"readMessage", "deleteMessage"}) {
        int64_t id = createPlatformActivity(method);
        EXPECT_EQ(callText(std::string("quor://com.quor.kelvvm/") + method,
                           "{\"$activity\":{\"activityId\":" + std::to_string(id) +
                               "},\"requirements\":{\"wan\":{\"ipAddress\":\"127.0.0.1\"}}}"),
                  "{\"returnValue\":true}")
            << method;
        ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
        JValue completes = managerCallsOf("complete");
        ASSERT_GE(completes.arraySize(), 1u);
        EXPECT_EQ(completes[completes.arraySize() - 1].stringify(),
                  "{\"activityId\":" + std::to_string(id) + ",\"restart\":true}")
            << method;
        call("quor://com.quor.activitymanager/cancel",
             std::string("{\"activityName\":\"") + method + "\"}");
    }
    EXPECT_EQ(soapOperations(), (std::vector<std::string>{"setInviteMessage", "archiveCall 1001",
                                                          "deleteMultipleMessages 1002"}));
}

TEST_F(VoicemailActivitiesTest, EveryMethodStopsTheIdleTimerAndAnUnreadablePayloadCreatesNothing)
{
    for (const char* method : {"setGreeting", "simStatusQuery", "smsNotification",
                               "refreshMessages", "deleteMessage", "readMessage", "scheduled"}) {
        KelVvmServiceApp::getInstance()->startIdleTimer(120);
        gLogLines.clear();
        EXPECT_EQ(callText(std::string("quor://com.quor.kelvvm/") + method, "\"text\""),
                  "{\"returnValue\":false,\"errorCode\":666,\"errorText\":\"JSON parse "
                  "exception\"}")
            << method;
        EXPECT_EQ(countLines("Removing Idle Timer"), 1u) << method;
        EXPECT_EQ(KelVvmActivityMgr::getInstance()->live(), 0u) << method;
        EXPECT_NE(KelVvmServiceApp::getInstance()->m_idleTimerId, 0u)
            << method << ": with nothing alive the idle timer runs again";
        KelVvmServiceApp::getInstance()->stopIdleTimer();
    }
}

TEST_F(VoicemailActivitiesTest, LoggedPayloadsAreCutAndSayHowLongTheyWere)
{
    // A JSON text, but no object: each method logs it, then refuses it without other work.
    const std::string payload = "\"" + std::string(300 * 1024, 'x') + "\"";
    const std::string length = "(cut, " + std::to_string(payload.size()) + " bytes in all)";
    for (const char* method :
         {"setGreeting", "simStatusQuery", "smsNotification", "refreshMessages", "deleteMessage",
          "readMessage", "scheduled", "test"}) {
        gLogLines.clear();
        EXPECT_NE(callText(std::string("quor://com.quor.kelvvm/") + method, payload), "");
        size_t logged = 0;
        for (const std::string& line : gLogLines) {
            if (line.find("xxxxxxxx") == std::string::npos)
                continue;
            logged++;
            EXPECT_LT(line.size(), 66u * 1024) << method;
            EXPECT_NE(line.find(length), std::string::npos) << method << ": " << line.substr(0, 80);
        }
        EXPECT_EQ(logged, 1u) << method;
        KelVvmServiceApp::getInstance()->stopIdleTimer();
    }
}

TEST_F(VoicemailActivitiesTest, AdoptedMethodsRefuseCallsFromOutsideTheActivityManager)
{
    for (const char* method : {"deleteMessage", "readMessage", "simStatusQuery"}) {
        EXPECT_EQ(callText(std::string("quor://com.quor.kelvvm/") + method, "{}"),
                  "{\"returnValue\":false}")
            << method;
        EXPECT_EQ(KelVvmActivityMgr::getInstance()->live(), 0u);
    }
    EXPECT_TRUE(soapOperations().empty());
    EXPECT_NE(KelVvmServiceApp::getInstance()->m_idleTimerId, 0u);
}

TEST_F(VoicemailActivitiesTest, ASecondRefreshWhileOneWaitsIsAnsweredAtOnce)
{
    KelVvmActivityMgr::getInstance()->queueActivity(new Blocker());
    ASSERT_TRUE(runUntil([] { return gHeld.size() == 1; }));
    std::vector<std::string> first, second;
    callInto("quor://com.quor.kelvvm/refreshMessages", "{}", first);
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->queued() == 1; }));
    callInto("quor://com.quor.kelvvm/refreshMessages", "{}", second);
    ASSERT_TRUE(runUntil([&] { return !second.empty(); }));
    EXPECT_EQ(second[0], "{\"returnValue\":true}");
    EXPECT_TRUE(first.empty()) << "the first still waits for its turn";
    releaseHeld();
    ASSERT_TRUE(runUntil([&] { return !first.empty(); }, 10000));
    EXPECT_EQ(first[0],
              "{\"returnValue\":false,\"errorText\":\"User account erased\",\"errorCode\":666}")
        << "without a mailbox record a refresh erases and fails, without a retry";
    EXPECT_EQ(managerCallsOf("create").arraySize(), 0u);
}

TEST_F(VoicemailActivitiesTest, FailedSynchronizationsScheduleTheRetryOfTheirKind)
{
    const struct {
        const char* method;
        const char* retry;
        const char* interval;
    } cases[] = {
        {"smsNotification", "KelVvmSmsSched", "10m"},
        {"refreshMessages", "KelVvmRefreshSched", "15m"},
    };
    for (const auto& c : cases) {
        KelVvmServiceApp::s_lastSyncTime = 0;
        gNow = 1000000;
        s_platform->control(vtjsonParse("{\"command\":\"failSoap\",\"operation\":"
                                        "\"getAllCallOpti\",\"fault\":\"Generic_Error\"}"));
        JValue reply = call(std::string("quor://com.quor.kelvvm/") + c.method, "{}");
        EXPECT_FALSE(reply["returnValue"].asBool()) << c.method;
        EXPECT_EQ(reply["errorCode"].asInt32(), 666) << c.method;
        JValue creates = managerCallsOf("create");
        ASSERT_EQ(creates.arraySize(), 1u) << c.method;
        EXPECT_EQ(creates[0]["activity"]["name"].asString(), c.retry);
        EXPECT_EQ(creates[0]["activity"]["schedule"]["interval"].asString(), c.interval);
        call("quor://com.quor.activitymanager/cancel",
             std::string("{\"activityName\":\"") + c.retry + "\"}");
        m_managerCallsBefore = managerCalls().arraySize();
    }
}

} // namespace
