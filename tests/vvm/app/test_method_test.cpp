// The diagnostic "test" method on a private bus, served by the application's own method table,
// against the emulator's database and voicemail platform: every operation's reply, what reaches
// the database and the platform, the failures, the download rule, and the idle timer.
#include "DbService.h"
#include "KelVvmServiceApp.h"
#include "PlatformFixture.h"
#include "TamoMessage.h"
#include "TestBus.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace
{

const char* const kVoiceKind = "com.quor.vvm.kelmessages:1";
const char* const kCalls = "[{\"id\":\"101\",\"caller\":\"0601020304\",\"duration\":2},"
                           "{\"id\":\"102\",\"state\":\"ARC_MSG\",\"duration\":1}]";
const char* const kUnknown =
    "{\"returnValue\":false,\"error\":\"Unknown method or invalid parameters\"}";

bool collect(TSHandle*, TSMessage* reply, void* context)
{
    *static_cast<std::string*>(context) = TSMessageGetPayload(reply);
    return true;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TestMethod : public PlatformFixture
{
  protected:
    static void SetUpTestSuite()
    {
        s_bus = new TestBus();
        s_db = new emulator::DbService(vtjsonParse("{\"file\":\":memory:\"}"), {});
        std::string error;
        ASSERT_TRUE(s_db->start(error)) << error;
        // The application's own registration: the method table as the process serves it.
        KelVvmServiceApp::getInstance()->setupService();
        ASSERT_TRUE(TSRegisterAnonymous(&s_client, nullptr));
        ASSERT_TRUE(TSGmainAttach(s_client, nullptr, nullptr));
    }
    static void TearDownTestSuite()
    {
        KelVvmServiceApp* app = KelVvmServiceApp::getInstance();
        app->stopIdleTimer();
        TamoMessage::dropPending(app->m_serviceHandle);
        TSUnregister(app->m_serviceHandle, nullptr);
        app->m_serviceHandle = nullptr;
        TSUnregister(s_client, nullptr);
        delete s_db;
        delete s_bus;
    }

    void SetUp() override
    {
        PlatformFixture::SetUp();
        startPlatform(kCalls);
        call("quor://com.quor.db/delKind", std::string("{\"id\":\"") + kVoiceKind + "\"}");
        s_dbCallsBefore = call("quor://com.quor.db/emulator/calls", "{}")["calls"].arraySize();
    }

    static JValue call(const std::string& uri, const std::string& payload)
    {
        std::string reply;
        EXPECT_TRUE(TSCallOneReply(s_client, uri.c_str(), payload.c_str(), collect, &reply, nullptr,
                                   nullptr));
        EXPECT_TRUE(runUntil([&] { return !reply.empty(); }, 10000)) << uri;
        return vtjsonParse(reply.empty() ? "{}" : reply);
    }

    // Calls "test" with a 120-second idle timer armed; every call must leave the timer armed
    // again for 30 seconds at most.
    static std::string test(const std::string& payload)
    {
        KelVvmServiceApp* app = KelVvmServiceApp::getInstance();
        app->stopIdleTimer();
        app->startIdleTimer(120);
        std::string reply;
        EXPECT_TRUE(TSCallOneReply(s_client, "quor://com.quor.kelvvm/test", payload.c_str(),
                                   collect, &reply, nullptr, nullptr));
        EXPECT_TRUE(runUntil([&] { return !reply.empty(); }, 10000)) << payload;
        EXPECT_NE(app->m_idleTimerId, 0u) << payload;
        if (app->m_idleTimerId != 0) {
            GSource* timer = g_main_context_find_source_by_id(nullptr, app->m_idleTimerId);
            EXPECT_LE(g_source_get_ready_time(timer) - g_get_monotonic_time(), 30 * G_USEC_PER_SEC)
                << payload << ": the timer was not stopped on entry";
        }
        return reply;
    }

    // The payloads the database received for `method` in this test, once `count` of them have
    // arrived.
    static JValue dbCalls(const std::string& method, size_t count = 1)
    {
        JValue matching;
        runUntil([&] {
            matching = JValue::array();
            JValue calls = call("quor://com.quor.db/emulator/calls", "{}")["calls"];
            for (size_t i = s_dbCallsBefore; i < calls.arraySize(); i++) {
                if (calls[i]["method"].asString() == method)
                    matching.append(calls[i]["payload"]);
            }
            return matching.arraySize() >= count;
        });
        return matching;
    }

    static JValue storedVoiceMessages()
    {
        return call("quor://com.quor.db/emulator/objects",
                    std::string("{\"from\":\"") + kVoiceKind + "\"}")["results"];
    }

    static void putVoiceMessages(int count)
    {
        std::string objects;
        for (int i = 0; i < count; i++)
            objects += std::string(i ? "," : "") + "{\"_kind\":\"" + kVoiceKind + "\",\"id\":\"" +
                       std::to_string(i) + "\"}";
        EXPECT_TRUE(call("quor://com.quor.db/put", "{\"objects\":[" + objects + "]}")["returnValue"]
                        .asBool());
    }

    std::string lastSoapBody() { return lastRequest()["body"].asString(); }

    static TestBus* s_bus;
    static emulator::DbService* s_db;
    static TSHandle* s_client;
    static size_t s_dbCallsBefore;
};

TestBus* TestMethod::s_bus = nullptr;
emulator::DbService* TestMethod::s_db = nullptr;
TSHandle* TestMethod::s_client = nullptr;
size_t TestMethod::s_dbCallsBefore = 0;

TEST_F(TestMethod, DatabaseOperationsAnswerAtOnceAndReachTheDatabase)
{
    putVoiceMessages(2);
    EXPECT_EQ(test("{\"method\":\"markDontDeleteFromServer\"}"), "{\"returnValue\":true}");
    JValue merges = dbCalls("merge");
    ASSERT_EQ(merges.arraySize(), 1u);
    EXPECT_EQ(merges[0].stringify(), std::string("{\"query\":{\"from\":\"") + kVoiceKind +
                                         "\"},\"props\":{\"kelDontDeleteFromServer\":true}}");
    EXPECT_EQ(test("{\"method\":\"markDeleteFromServer\"}"), "{\"returnValue\":true}");
    merges = dbCalls("merge", 2);
    ASSERT_EQ(merges.arraySize(), 2u);
    EXPECT_EQ(merges[1]["props"].stringify(), "{\"kelDontDeleteFromServer\":false}");
    JValue stored = storedVoiceMessages();
    ASSERT_EQ(stored.arraySize(), 2u);
    EXPECT_TRUE(stored[1]["kelDontDeleteFromServer"].isBool());
    EXPECT_FALSE(stored[1]["kelDontDeleteFromServer"].asBool());

    EXPECT_EQ(test("{\"method\":\"clearMessages\"}"), "{\"returnValue\":true}");
    JValue dels = dbCalls("del");
    ASSERT_EQ(dels.arraySize(), 1u);
    EXPECT_EQ(dels[0].stringify(),
              std::string("{\"query\":{\"from\":\"") + kVoiceKind + "\"},\"purge\":true}");
    EXPECT_TRUE(runUntil([] { return storedVoiceMessages().arraySize() == 0; }))
        << "purged, not marked";

    EXPECT_EQ(test("{\"method\":\"createMailbox\"}"), "{\"returnValue\":true}");
    JValue puts = dbCalls("put", 2);
    ASSERT_EQ(puts.arraySize(), 2u);
    EXPECT_EQ(puts[1].stringify(),
              "{\"objects\":[{\"_kind\":\"com.quor.vvm.kelmailbox:1\",\"refreshStatus\":false,"
              "\"refreshMessages\":false,\"service\":\"kel\",\"voicemailNumber\":\"123\","
              "\"numMessages\":0,\"status\":\"pending\",\"userAgent\":\"\",\"serialNumber\":\"\","
              "\"userId\":\"\"}]}");
}

TEST_F(TestMethod, SoapOperationsReplyWithTheAnswersOwnJson)
{
    EXPECT_EQ(test("{\"method\":\"subscribe\"}"),
              "{\"returnValue\":true,\"result\":{\"type\":\"OK\",\"out\":\"OK\"}}");
    EXPECT_EQ(test("{\"method\":\"getUserProfile\"}"),
              "{\"returnValue\":true,\"result\":{\"type\":\"UserProfile\",\"id\":\"33600000000\","
              "\"vvmInscription\":true,\"defaultInvite\":true}}");

    JValue list = vtjsonParse(test("{\"method\":\"getAllMessages\"}"));
    EXPECT_TRUE(list["returnValue"].asBool());
    ASSERT_EQ(list["result"].arraySize(), 2u);
    EXPECT_EQ(list["result"][0]["_kind"].asString(), kVoiceKind);
    EXPECT_EQ(list["result"][0]["id"].asString(), "101");
    EXPECT_EQ(list["result"][1]["kelStatus"].asString(), "ARC_MSG");

    JValue info = vtjsonParse(test("{\"method\":\"getMessageInfo\",\"messageId\":\"101\"}"));
    EXPECT_EQ(info["result"]["duration"].asInt64(), 2000);
    EXPECT_NE(lastSoapBody().find("<web:formatMsgVocal>AMR</web:formatMsgVocal>"),
              std::string::npos);

    const std::string ok = "{\"returnValue\":true,\"result\":{\"type\":\"OK\",\"out\":\"OK\"}}";
    EXPECT_EQ(test("{\"method\":\"archiveMessage\",\"messageId\":\"101\"}"), ok);
    EXPECT_EQ(platform->call("101")["state"].asString(), "ARC_MSG");
    EXPECT_EQ(test("{\"method\":\"deliverMessages\",\"ids\":[\"102\",\"101\"]}"), ok);
    EXPECT_NE(lastSoapBody().find("<web:string>102</web:string><web:string>101</web:string>"),
              std::string::npos);
    EXPECT_TRUE(platform->call("101")["delivered"].asBool());
    EXPECT_EQ(test("{\"method\":\"deleteMessages\",\"ids\":[\"102\"]}"), ok);
    EXPECT_TRUE(platform->call("102").isNull());
}

TEST_F(TestMethod, DeliverWithoutIdsSendsAnEmptyList)
{
    EXPECT_EQ(test("{\"method\":\"deliverMessages\"}"),
              "{\"returnValue\":true,\"result\":{\"type\":\"OK\",\"out\":\"OK\"}}");
    EXPECT_NE(lastSoapBody().find("<web:mesgIds></web:mesgIds>"), std::string::npos)
        << lastSoapBody();
}

TEST_F(TestMethod, DeleteAllMessagesDeletesEveryListedCallOrNothingOnAFault)
{
    control("{\"command\":\"failSoap\",\"operation\":\"getAllCallOpti\",\"fault\":"
            "\"Generic_TechnicalError\",\"faultString\":\"down\"}");
    EXPECT_EQ(
        test("{\"method\":\"deleteAllMessages\"}"),
        "{\"returnValue\":true,\"result\":{\"type\":\"Fault\",\"faultcode\":"
        "\"soapenv:Server\",\"faultstring\":\"down\",\"detail\":\"Generic_TechnicalError\"}}");
    EXPECT_EQ(platform->mailbox()["calls"].arraySize(), 2u);
    EXPECT_EQ(platform->requests().arraySize(), 1u) << "no deletion was asked";

    JValue reply = vtjsonParse(test("{\"method\":\"deleteAllMessages\"}"));
    EXPECT_TRUE(reply["returnValue"].asBool());
    EXPECT_EQ(reply["result"].arraySize(), 2u);
    EXPECT_EQ(platform->mailbox()["calls"].arraySize(), 0u);
    JValue requests = platform->requests();
    ASSERT_EQ(requests.arraySize(), 4u);
    EXPECT_NE(requests[2]["body"].asString().find("<web:string>101</web:string></web:mesgIds>"),
              std::string::npos);
    EXPECT_NE(requests[3]["body"].asString().find("<web:string>102</web:string></web:mesgIds>"),
              std::string::npos);
}

TEST_F(TestMethod, MalformedCallsAnswerWithTheErrorText)
{
    EXPECT_EQ(test("{\"method\":\"reboot\"}"), kUnknown);
    EXPECT_EQ(test("{\"url\":\"http://127.0.0.1/\"}"), kUnknown);
    EXPECT_EQ(test("[\"subscribe\"]"), kUnknown);
    EXPECT_EQ(test("{\"method\":\"deleteMessages\",\"ids\":\"101\"}"), kUnknown);
    EXPECT_EQ(test("{\"method\":\"deleteMessages\",\"ids\":[101]}"), kUnknown);
    // JSON, but neither an object nor an array (text that is no JSON at all never gets past
    // the bus library).
    EXPECT_EQ(test("\"subscribe\""), "{\"returnValue\":false,\"error\":\"JSON parse exception\"}");
    EXPECT_EQ(platform->requests().arraySize(), 0u) << "nothing reached the platform";
}

TEST_F(TestMethod, DownloadsIntoTheMediaFolderWithRetries)
{
    std::string url = platform->call("101")["audioUrl"].asString();
    std::string loc = folder + "/101.amr";
    EXPECT_EQ(test("{\"method\":\"downloadFile\",\"url\":\"" + url + "\",\"loc\":\"" + loc + "\"}"),
              "{\"returnValue\":true}");
    EXPECT_EQ(readFile(loc).compare(0, 6, "#!AMR\n"), 0);

    std::string missing = platform->baseUrl() + "/vvm/audio/999.amr";
    EXPECT_EQ(test("{\"method\":\"downloadFile\",\"url\":\"" + missing + "\",\"loc\":\"" + folder +
                   "/999.amr\"}"),
              "{\"returnValue\":false,\"error\":\"Download failed!\"}");
    EXPECT_EQ(waits(), std::vector<unsigned>({20, 30, 40, 50, 60}));
    EXPECT_FALSE(g_file_test((folder + "/999.amr").c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(TestMethod, DownloadsReplaceTheFileOnlyOnceCompleteAndFollowNoLink)
{
    std::string url = platform->call("101")["audioUrl"].asString();
    auto download = [&](const std::string& from, const std::string& loc) {
        return test("{\"method\":\"downloadFile\",\"url\":\"" + from + "\",\"loc\":\"" + loc +
                    "\"}");
    };
    // A failed download leaves the file a record may still name.
    std::string kept = folder + "/102.amr";
    std::ofstream(kept) << "kept";
    EXPECT_EQ(download(platform->baseUrl() + "/vvm/audio/999.amr", kept),
              "{\"returnValue\":false,\"error\":\"Download failed!\"}");
    EXPECT_EQ(readFile(kept), "kept");

    // A link in the media folder is replaced by the file, its target left alone.
    std::string outside = folder + "-outside";
    std::ofstream(outside) << "outside";
    std::string link = folder + "/101.amr";
    ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
    EXPECT_EQ(download(url, link), "{\"returnValue\":true}");
    EXPECT_EQ(readFile(outside), "outside");
    std::filesystem::remove(outside);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readFile(link).compare(0, 6, "#!AMR\n"), 0);
    EXPECT_FALSE(std::filesystem::exists(folder + "/.download.part"));
}

TEST_F(TestMethod, WhatNoAttemptCanMendIsRefusedBeforeAnyExchange)
{
    const std::string loc = folder + "/101.amr";
    const std::pair<std::string, std::string> downloads[] = {
        {"{\"method\":\"downloadFile\",\"loc\":\"" + loc + "\"}", "No URL"},
        {"{\"method\":\"downloadFile\",\"url\":\"\",\"loc\":\"" + loc + "\"}", "No URL"},
        {"{\"method\":\"downloadFile\",\"url\":\"ftp://127.0.0.1/101.amr\",\"loc\":\"" + loc +
             "\"}",
         "Unsupported URL scheme: ftp"},
        {"{\"method\":\"downloadFile\",\"url\":\"file:///etc/hostname\",\"loc\":\"" + loc + "\"}",
         "Unsupported URL scheme: file"},
    };
    for (const auto& [payload, error] : downloads)
        EXPECT_EQ(test(payload), "{\"returnValue\":false,\"error\":\"" + error + "\"}");
    JValue malformed = vtjsonParse(
        test("{\"method\":\"downloadFile\",\"url\":\"http://127.0.0.1:99999/a\",\"loc\":\"" + loc +
             "\"}"));
    EXPECT_EQ(malformed["error"].asString().rfind("Malformed URL: ", 0), 0u)
        << malformed.stringify();
    EXPECT_FALSE(std::filesystem::exists(loc));

    const std::string tooLong(256, '1');
    const std::pair<std::string, std::string> soap[] = {
        {"{\"method\":\"getMessageInfo\",\"messageId\":\"10\\u00001\"}",
         "Invalid message id: it holds a control byte"},
        {"{\"method\":\"archiveMessage\",\"messageId\":\"" + tooLong + "\"}",
         "Invalid message id: 256 bytes, at most 255"},
        {"{\"method\":\"deleteMessages\",\"ids\":[\"101\",\"1\\n2\"]}",
         "Invalid message id: it holds a control byte"},
        {"{\"method\":\"deliverMessages\",\"ids\":[\"" + tooLong + "\"]}",
         "Invalid message id: 256 bytes, at most 255"},
    };
    for (const auto& [payload, error] : soap)
        EXPECT_EQ(test(payload), "{\"returnValue\":false,\"error\":\"" + error + "\"}");
    EXPECT_TRUE(waits().empty()) << "nothing was retried";
    EXPECT_EQ(platform->requests().arraySize(), 0u) << "nothing reached the platform";
    EXPECT_EQ(platform->call("101")["state"].asString(), "NEW_MSG");
}

TEST_F(TestMethod, DownloadsOutsideTheMediaFolderAreRefused)
{
    std::string url = platform->call("101")["audioUrl"].asString();
    std::string outside = folder + "-outside";
    for (const std::string& loc :
         {outside, folder + "/../" + std::filesystem::path(outside).filename().string(),
          folder + "/", folder + "/sub/101.amr", std::string("101.amr"), std::string()}) {
        std::string reply =
            test("{\"method\":\"downloadFile\",\"url\":\"" + url + "\",\"loc\":\"" + loc + "\"}");
        EXPECT_EQ(reply, "{\"returnValue\":false,\"error\":\"Download location outside the "
                         "media folder: " +
                             loc + "\"}");
    }
    EXPECT_FALSE(std::filesystem::remove(outside)) << "a file was written outside";
    EXPECT_EQ(platform->requests().arraySize(), 0u) << "nothing was fetched";
}

} // namespace
