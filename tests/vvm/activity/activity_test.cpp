// The activity engine against the emulator's activity manager on a private bus: adoption,
// the three ends and what each sends, the queue and its duplicate rule, restarts, and that no
// reply ever reaches a deleted activity.
#include "ActivityManagerService.h"
#include "BusClient.h"
#include "ConnectionManagerService.h"
#include "KelVvmActivity.h"
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"
#include "TamoMessage.h"
#include "TestBus.h"
#include "TestServiceHost.h"
#include "vtjson.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

// What happened, in order: "start A", "delete A", ...
std::vector<std::string> gJournal;
// What each named test activity does when it runs.
std::map<std::string, std::function<void(KelVvmActivity&)>> gBehaviour;

class TestActivity : public KelVvmActivity
{
  public:
    TestActivity(TSMessage* message, int32_t type, std::string name)
        : KelVvmActivity(message), m_name(std::move(name))
    {
        m_activityType = type;
    }
    ~TestActivity() override { gJournal.push_back("delete " + m_name); }
    void execute() override
    {
        gJournal.push_back("start " + m_name);
        auto behaviour = gBehaviour.find(m_name);
        if (behaviour != gBehaviour.end())
            behaviour->second(*this);
    }
    void getMailbox() override
    {
        gJournal.push_back(std::string("mailbox ") + m_name + (m_wipingAccount ? " wiping" : ""));
        auto behaviour = gBehaviour.find(m_name + ".mailbox");
        if (behaviour != gBehaviour.end())
            behaviour->second(*this);
    }

    std::string m_name;
};

// Always made in the same memory, so that a new one takes the address of a deleted one.
class RecycledActivity : public TestActivity
{
  public:
    using TestActivity::TestActivity;
    static void* operator new(size_t size)
    {
        EXPECT_TRUE(size <= sizeof(s_slot) && !s_used);
        s_used = true;
        return s_slot;
    }
    static void operator delete(void*) { s_used = false; }

  private:
    alignas(std::max_align_t) static unsigned char s_slot[1024];
    static bool s_used;
};
alignas(std::max_align_t) unsigned char RecycledActivity::s_slot[1024];
bool RecycledActivity::s_used = false;

// The stand-in for kelvvm's own methods: "queue" and "adopt" build a test activity from the
// payload's "name" and "type" and hand it over as the real handlers do; "scheduled" records.
std::vector<std::string> gScheduled;

KelVvmActivity* fromPayload(TSMessage* message)
{
    JValue payload = parseJson(TSMessageGetPayload(message));
    return new TestActivity(message, payload["type"].asInt32(), payload["name"].asString());
}

bool handleQueue(TSHandle*, TSMessage* message, void*)
{
    KelVvmActivityMgr::getInstance()->queueActivity(fromPayload(message));
    return true;
}

bool handleAdopt(TSHandle*, TSMessage* message, void*)
{
    KelVvmActivityMgr::getInstance()->adoptAndQueueActivity(fromPayload(message));
    return true;
}

bool handleScheduled(TSHandle*, TSMessage* message, void*)
{
    gScheduled.push_back(TSMessageGetPayload(message));
    TSMessageRespond(message, "{\"returnValue\":true}", nullptr);
    return true;
}

// A peer whose answers the test releases: calls to "slow" wait in `gKept`.
std::vector<TSMessage*> gKept;

bool handleSlow(TSHandle*, TSMessage* message, void*)
{
    TSMessageRef(message);
    gKept.push_back(message);
    return true;
}

const TSMethod kKelvvm[] = {
    {"queue", handleQueue, 0}, {"adopt", handleAdopt, 0}, {"scheduled", handleScheduled, 0}, {}};
const TSMethod kWork[] = {{"slow", handleSlow, 0}, {}};

int gWorkReplies = 0;
bool onWorkReply(TSHandle*, TSMessage*, void* activity)
{
    gWorkReplies++;
    static_cast<KelVvmActivity*>(activity)->complete(false);
    return true;
}

void releaseKept()
{
    for (TSMessage* message : gKept) {
        TSMessageRespond(message, "{\"returnValue\":true}", nullptr);
        TSMessageUnref(message);
    }
    gKept.clear();
}

std::vector<std::string> gLogLines;
void captureLog(const char*, int, const char* line, void*)
{
    gLogLines.push_back(line);
}

class ActivityEngineTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        s_bus = new TestBus();
        emulator::DeviceContext context;
        context.timeScale = 1000;
        s_manager = new emulator::ActivityManagerService(JValue::object(), context, ".");
        s_connections = new emulator::ConnectionManagerService(JValue::object(), context);
        std::string error;
        ASSERT_TRUE(s_manager->start(error)) << error;
        ASSERT_TRUE(s_connections->start(error)) << error;
        TSHandle* kelvvm = nullptr;
        ASSERT_TRUE(TSRegister("com.quor.kelvvm", &kelvvm, nullptr));
        ASSERT_TRUE(TSRegisterCategory(kelvvm, "/", kKelvvm, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSGmainAttach(kelvvm, nullptr, nullptr));
        s_host = new TestServiceHost();
        s_host->m_serviceHandle = kelvvm;
        ASSERT_TRUE(TSRegister("com.quor.testwork", &s_work, nullptr));
        ASSERT_TRUE(TSRegisterCategory(s_work, "/", kWork, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSGmainAttach(s_work, nullptr, nullptr));
        s_client = new BusClient();
    }
    static void TearDownTestSuite()
    {
        delete s_client;
        TSUnregister(s_work, nullptr);
        TamoMessage::dropPending(s_host->m_serviceHandle);
        TSUnregister(s_host->m_serviceHandle, nullptr);
        delete s_host;
        delete s_connections;
        delete s_manager;
        delete s_bus;
    }

    void SetUp() override
    {
        gJournal.clear();
        gBehaviour.clear();
        gScheduled.clear();
        gWorkReplies = 0;
        s_host->m_idleSeconds = 0;
        // Each case sees only the calls it caused.
        s_managerCallsBefore =
            call("quor://com.quor.activitymanager/emulator/calls", "{}")["calls"].arraySize();
    }
    void TearDown() override
    {
        releaseKept();
        EXPECT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }))
            << "an activity outlived its test";
        KelVvmActivityMgr::getInstance()->cleanActivities();
    }

    // Calls a method and waits for its first reply.
    static JValue call(const std::string& uri, const std::string& payload)
    {
        return s_client->call(uri, payload);
    }
    // Keeps calling; the replies gather in `replies`.
    static void callInto(const std::string& uri, const std::string& payload, Replies& replies)
    {
        s_client->start(uri, payload, replies);
    }

    // A platform activity that never comes due by itself, ready to be adopted.
    static int64_t createPlatformActivity(const std::string& name)
    {
        JValue reply = call("quor://com.quor.activitymanager/create",
                            "{\"activity\":{\"name\":\"" + name +
                                "\",\"schedule\":{\"interval\":\"1d\"},\"callback\":{\"method\":"
                                "\"quor://com.quor.kelvvm/adopt\"}},\"start\":true}");
        EXPECT_TRUE(reply["returnValue"].asBool());
        return reply["activityId"].asInt64();
    }
    // The activity manager's calls of `method` since this case began.
    static JValue managerCalls(const std::string& method)
    {
        JValue calls = call("quor://com.quor.activitymanager/emulator/calls", "{}")["calls"];
        JValue matching = JValue::array();
        for (size_t i = s_managerCallsBefore; i < calls.arraySize(); i++) {
            if (calls[i]["method"].asString() == method)
                matching.append(calls[i]["payload"]);
        }
        return matching;
    }
    static bool idleTimerArmed() { return s_host->m_idleSeconds == 30; }

    static TestBus* s_bus;
    static emulator::ActivityManagerService* s_manager;
    static emulator::ConnectionManagerService* s_connections;
    static TSHandle* s_work;
    static BusClient* s_client;
    static TestServiceHost* s_host;
    static size_t s_managerCallsBefore;
};

TestBus* ActivityEngineTest::s_bus = nullptr;
emulator::ActivityManagerService* ActivityEngineTest::s_manager = nullptr;
emulator::ConnectionManagerService* ActivityEngineTest::s_connections = nullptr;
TSHandle* ActivityEngineTest::s_work = nullptr;
BusClient* ActivityEngineTest::s_client = nullptr;
TestServiceHost* ActivityEngineTest::s_host = nullptr;
size_t ActivityEngineTest::s_managerCallsBefore = 0;

std::string adoptPayload(const std::string& name, int64_t id, int type = 3)
{
    return "{\"name\":\"" + name + "\",\"type\":" + std::to_string(type) +
           ",\"$activity\":{\"activityId\":" + std::to_string(id) + "}}";
}

TEST_F(ActivityEngineTest, AdoptionAnswersAtOnceWorksWhenAdoptedAndEndsAfterTheCompletionReply)
{
    int64_t id = createPlatformActivity("adopt-complete");
    bool completedBeforeDeletion = false;
    gBehaviour["A"] = [&](KelVvmActivity& activity) {
        activity.complete(false);
        // Adopted: still alive and current until the activity manager answers.
        completedBeforeDeletion = KelVvmActivityMgr::getInstance()->alive(activity.serial()) &&
                                  KelVvmActivityMgr::getInstance()->current() == &activity;
    };
    Replies replies;
    callInto("quor://com.quor.kelvvm/adopt", adoptPayload("A", id), replies);
    ASSERT_TRUE(runUntil([&] { return !replies.payloads.empty(); }));
    EXPECT_EQ(replies.payloads[0], "{\"returnValue\":true}");
    ASSERT_TRUE(runUntil([] { return gJournal.size() == 2; }));
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start A", "delete A"}));
    EXPECT_TRUE(completedBeforeDeletion);
    JValue completes = managerCalls("complete");
    ASSERT_EQ(completes.arraySize(), 1u);
    EXPECT_EQ(completes[0].stringify(),
              "{\"activityId\":" + std::to_string(id) + ",\"restart\":false}");
    EXPECT_EQ(replies.payloads.size(), 1u)
        << "an adopted activity never answers its caller at the end";
    EXPECT_TRUE(idleTimerArmed());
}

TEST_F(ActivityEngineTest, CallsThatDoNotComeFromTheActivityManagerAreRefused)
{
    EXPECT_EQ(call("quor://com.quor.kelvvm/adopt",
                   "{\"name\":\"T\",\"returnValue\":false,\"$activity\":{\"activityId\":1}}")
                  .stringify(),
              "{\"returnValue\":false}");
    EXPECT_EQ(call("quor://com.quor.kelvvm/adopt", "{\"name\":\"M\"}").stringify(),
              "{\"returnValue\":false}");
    // An id of 0 would read as "not adopted" at the end, and no platform activity has one.
    EXPECT_EQ(call("quor://com.quor.kelvvm/adopt", adoptPayload("Z", 0)).stringify(),
              "{\"returnValue\":false}");
    EXPECT_EQ(call("quor://com.quor.kelvvm/adopt", adoptPayload("N", -7)).stringify(),
              "{\"returnValue\":false}");
    EXPECT_EQ(managerCalls("adopt").arraySize(), 0u);
    EXPECT_EQ(gJournal, (std::vector<std::string>{"delete T", "delete M", "delete Z", "delete N"}));
    EXPECT_TRUE(idleTimerArmed());
}

TEST_F(ActivityEngineTest, RequirementsSetTheWanAddressBeforeAdoption)
{
    int64_t id = createPlatformActivity("wan-address");
    gBehaviour["W"] = [](KelVvmActivity& activity) { activity.complete(true); };
    std::string payload = adoptPayload("W", id);
    payload.insert(payload.size() - 1, ",\"requirements\":{\"wan\":{\"ipAddress\":\"10.1.2.3\"}}");
    EXPECT_TRUE(call("quor://com.quor.kelvvm/adopt", payload)["returnValue"].asBool());
    EXPECT_EQ(KelVvmServiceValues::s_wanIpAddress, "10.1.2.3");
    ASSERT_TRUE(runUntil([] { return gJournal.size() == 2; }));
    EXPECT_TRUE(call("quor://com.quor.activitymanager/cancel",
                     "{\"activityName\":\"wan-address\"}")["returnValue"]
                    .asBool())
        << "a completion with restart keeps the platform activity";

    // An address that is not text clears the cached one, even when the call is then refused.
    EXPECT_FALSE(call("quor://com.quor.kelvvm/adopt",
                      "{\"name\":\"V\",\"type\":3,\"$activity\":{},\"requirements\":{\"wan\":{"
                      "\"ipAddress\":7}}}")["returnValue"]
                     .asBool());
    EXPECT_EQ(KelVvmServiceValues::s_wanIpAddress, "");
}

TEST_F(ActivityEngineTest, AnAdoptedDuplicateCompletesWithRestartAndTheFirstKeepsItsPlace)
{
    gBehaviour["A"] = [](KelVvmActivity& activity) {
        activity.ownedRequest("quor://com.quor.testwork/slow", "{}", onWorkReply);
    };
    gBehaviour["B"] = [](KelVvmActivity& activity) { activity.complete(false); };
    int64_t first = createPlatformActivity("dup-first");
    int64_t second = createPlatformActivity("dup-second");
    KelVvmActivityMgr::getInstance()->queueActivity(new TestActivity(nullptr, 1, "A"));
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    EXPECT_TRUE(
        call("quor://com.quor.kelvvm/adopt", adoptPayload("B", first, 2))["returnValue"].asBool());
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->queued() == 1; }));
    EXPECT_TRUE(
        call("quor://com.quor.kelvvm/adopt", adoptPayload("C", second, 2))["returnValue"].asBool());
    ASSERT_TRUE(runUntil([] { return gJournal.size() == 2; }));
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start A", "delete C"}));
    EXPECT_EQ(KelVvmActivityMgr::getInstance()->queued(), 1u);
    JValue completes = managerCalls("complete");
    ASSERT_GE(completes.arraySize(), 1u);
    EXPECT_EQ(completes[completes.arraySize() - 1].stringify(),
              "{\"activityId\":" + std::to_string(second) + ",\"restart\":true}");
    releaseKept();
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    EXPECT_EQ(gJournal,
              (std::vector<std::string>{"start A", "delete C", "delete A", "start B", "delete B"}));
    EXPECT_TRUE(call("quor://com.quor.activitymanager/cancel",
                     "{\"activityName\":\"dup-second\"}")["returnValue"]
                    .asBool());
}

TEST_F(ActivityEngineTest, QueueRunsOneAtATimeInOrderAndRefusesASecondWaitingOfOneType)
{
    // A waits for its peer; B queues behind it, C is a duplicate of B, D shares A's type but A
    // is running, not waiting.
    gBehaviour["A"] = [](KelVvmActivity& activity) {
        activity.ownedRequest("quor://com.quor.testwork/slow", "{}", onWorkReply);
    };
    for (const char* name : {"B", "D"})
        gBehaviour[name] = [](KelVvmActivity& activity) { activity.complete(true); };
    Replies a, b, c, d;
    callInto("quor://com.quor.kelvvm/queue", "{\"name\":\"A\",\"type\":1}", a);
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    callInto("quor://com.quor.kelvvm/queue", "{\"name\":\"B\",\"type\":2}", b);
    callInto("quor://com.quor.kelvvm/queue", "{\"name\":\"C\",\"type\":2}", c);
    callInto("quor://com.quor.kelvvm/queue", "{\"name\":\"D\",\"type\":1}", d);
    ASSERT_TRUE(runUntil([&] { return !c.payloads.empty(); }));
    EXPECT_EQ(c.payloads[0], "{\"returnValue\":true}");
    runFor(50);
    EXPECT_TRUE(b.payloads.empty() && d.payloads.empty() && a.payloads.empty())
        << "nothing runs beside A";
    EXPECT_EQ(KelVvmActivityMgr::getInstance()->queued(), 2u);
    releaseKept();
    ASSERT_TRUE(runUntil(
        [&] { return !a.payloads.empty() && !b.payloads.empty() && !d.payloads.empty(); }));
    EXPECT_EQ(a.payloads[0], "{\"returnValue\":true}");
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start A", "delete C", "delete A", "start B",
                                                  "delete B", "start D", "delete D"}));
    EXPECT_TRUE(idleTimerArmed());
}

TEST_F(ActivityEngineTest, FailuresAnswerTheCallerWithTheirTextAndCode)
{
    gBehaviour["T"] = [](KelVvmActivity&) { throw std::runtime_error("kaput"); };
    gBehaviour["R"] = [](KelVvmActivity& activity) {
        // Without a retry name nothing is scheduled.
        activity.failAndReschedule("no retry", 666);
    };
    EXPECT_EQ(call("quor://com.quor.kelvvm/queue", "{\"name\":\"T\",\"type\":1}").stringify(),
              "{\"returnValue\":false,\"errorText\":\"kaput\",\"errorCode\":666}");
    EXPECT_EQ(call("quor://com.quor.kelvvm/queue", "{\"name\":\"R\",\"type\":1}").stringify(),
              "{\"returnValue\":false,\"errorText\":\"no retry\",\"errorCode\":666}");
    EXPECT_EQ(managerCalls("create").arraySize(), 0u);
}

TEST_F(ActivityEngineTest, FailAndRescheduleCreatesTheRetryThatLaterComesDue)
{
    gBehaviour["S"] = [](KelVvmActivity& activity) {
        activity.m_retryActivityName = KelVvmActivity::s_refreshScheduledActivity;
        activity.failAndReschedule("Server down", 666);
    };
    EXPECT_EQ(call("quor://com.quor.kelvvm/queue", "{\"name\":\"S\",\"type\":2}").stringify(),
              "{\"returnValue\":false,\"errorText\":\"Server down\",\"errorCode\":666}");
    JValue creates = managerCalls("create");
    ASSERT_EQ(creates.arraySize(), 1u);
    EXPECT_EQ(creates[0].stringify(),
              "{\"activity\":{\"name\":\"KelVvmRefreshSched\",\"description\":\"Schedule refresh "
              "for KelVvmRefreshSched\",\"schedule\":{\"interval\":\"15m\"},\"callback\":{"
              "\"method\":\"quor://com.quor.kelvvm/scheduled\"},\"requirements\":{\"wan\":true}},"
              "\"start\":true}");
    // 15 minutes at a thousandfold: under a second.
    ASSERT_TRUE(runUntil([] { return !gScheduled.empty(); }, 5000));
    JValue scheduled = parseJson(gScheduled[0]);
    EXPECT_EQ(scheduled["$activity"]["name"].asString(), "KelVvmRefreshSched");
    EXPECT_EQ(scheduled["requirements"]["wan"]["ipAddress"].asString(), "127.0.0.1");
}

TEST_F(ActivityEngineTest, AFailedAdoptedActivityCompletesWithRestartAndNoErrorText)
{
    int64_t id = createPlatformActivity("adopt-fail");
    gBehaviour["F"] = [](KelVvmActivity& activity) { activity.fail("Broken", 666); };
    EXPECT_TRUE(
        call("quor://com.quor.kelvvm/adopt", adoptPayload("F", id))["returnValue"].asBool());
    ASSERT_TRUE(runUntil([] { return gJournal.size() == 2; }));
    JValue completes = managerCalls("complete");
    ASSERT_GE(completes.arraySize(), 1u);
    EXPECT_EQ(completes[completes.arraySize() - 1].stringify(),
              "{\"activityId\":" + std::to_string(id) + ",\"restart\":true}");
    JValue all = call("quor://com.quor.activitymanager/emulator/calls", "{}");
    EXPECT_EQ(all.stringify().find("Broken"), std::string::npos);
    call("quor://com.quor.activitymanager/cancel", "{\"activityName\":\"adopt-fail\"}");
}

TEST_F(ActivityEngineTest, AReplyAfterTheAdoptionFailedNeverReachesTheDeletedActivity)
{
    int64_t id = createPlatformActivity("adopt-cancelled");
    gBehaviour["X"] = [](KelVvmActivity& activity) {
        activity.ownedRequest("quor://com.quor.testwork/slow", "{}", onWorkReply);
    };
    Replies replies;
    callInto("quor://com.quor.kelvvm/adopt", adoptPayload("X", id), replies);
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    // The platform activity goes away: the adoption subscription reports the failure while the
    // activity's own call is still out.
    gLogLines.clear();
    QmLogSetCapture(captureLog, nullptr);
    EXPECT_TRUE(call("quor://com.quor.activitymanager/cancel",
                     "{\"activityName\":\"adopt-cancelled\"}")["returnValue"]
                    .asBool());
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    QmLogSetCapture(nullptr, nullptr);
    bool reasonLogged = false;
    for (const std::string& line : gLogLines)
        reasonLogged |= line.find("refused: Activity cancelled") != std::string::npos;
    EXPECT_TRUE(reasonLogged) << "the refusal's reason reaches nobody else";
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start X", "delete X"}));
    releaseKept();
    runFor(100);
    EXPECT_EQ(gWorkReplies, 0);
    EXPECT_EQ(replies.payloads, (std::vector<std::string>{"{\"returnValue\":true}"}))
        << "the caller was answered once, at adoption";
}

TEST_F(ActivityEngineTest, EventsReachTheHooksAndARepeatedAdoptionChangesNothing)
{
    int64_t id = createPlatformActivity("adopt-events");
    gBehaviour["E"] = [](KelVvmActivity& activity) {
        activity.ownedRequest("quor://com.quor.testwork/slow", "{}", onWorkReply);
    };
    EXPECT_TRUE(
        call("quor://com.quor.kelvvm/adopt", adoptPayload("E", id))["returnValue"].asBool());
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    for (const char* event : {"pause", "adopted", "start"}) {
        EXPECT_TRUE(call("quor://com.quor.activitymanager/emulator/sendEvent",
                         "{\"activityId\":" + std::to_string(id) + ",\"event\":\"" + event +
                             "\"}")["returnValue"]
                        .asBool());
    }
    runFor(100);
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start E"}));
    EXPECT_EQ(KelVvmActivityMgr::getInstance()->queued(), 0u);
    releaseKept();
    ASSERT_TRUE(runUntil([] { return gJournal.size() == 2; }));
    EXPECT_EQ(gWorkReplies, 1);
}

TEST_F(ActivityEngineTest, AnErasureThatStartsOverRunsTheChainAgainWithoutTheWipeFlag)
{
    // The first mailbox check wipes the account and starts over through onAdopted() while the
    // activity still runs; the second one waits for its peer, with N queued behind it.
    int runs = 0;
    gBehaviour["W"] = [](KelVvmActivity& activity) { activity.getMailbox(); };
    gBehaviour["W.mailbox"] = [&runs](KelVvmActivity& activity) {
        if (++runs == 1) {
            activity.m_wipingAccount = true;
            activity.onAdopted();
        } else {
            activity.ownedRequest("quor://com.quor.testwork/slow", "{}", onWorkReply);
        }
    };
    gBehaviour["N"] = [](KelVvmActivity& activity) { activity.complete(true); };
    KelVvmActivityMgr::getInstance()->queueActivity(new TestActivity(nullptr, 2, "W"));
    KelVvmActivityMgr::getInstance()->queueActivity(new TestActivity(nullptr, 1, "N"));
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start W", "mailbox W", "mailbox W"}))
        << "ran again at once, with the wipe flag clear, and N still waits";
    releaseKept();
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start W", "mailbox W", "mailbox W", "delete W",
                                                  "start N", "delete N"}));
    EXPECT_TRUE(idleTimerArmed());
}

TEST_F(ActivityEngineTest, ExitWithLiveActivitiesWarnsOnceAndTellsNobody)
{
    gBehaviour["L"] = [](KelVvmActivity& activity) {
        activity.ownedRequest("quor://com.quor.testwork/slow", "{}", onWorkReply);
    };
    size_t completesBefore = managerCalls("complete").arraySize();
    KelVvmActivityMgr::getInstance()->queueActivity(new TestActivity(nullptr, 1, "L"));
    KelVvmActivityMgr::getInstance()->queueActivity(new TestActivity(nullptr, 2, "M"));
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    gLogLines.clear();
    QmLogSetCapture(captureLog, nullptr);
    KelVvmActivityMgr::getInstance()->cleanActivities();
    QmLogSetCapture(nullptr, nullptr);
    int warnings = 0;
    for (const std::string& line : gLogLines) {
        if (line.find("KelVvmActivityMgr cleaning activities (should not happen often)") !=
            std::string::npos)
            warnings++;
    }
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(KelVvmActivityMgr::getInstance()->live(), 0u);
    EXPECT_EQ(gJournal.size(), 3u) << "started L, then both deleted";
    releaseKept();
    runFor(100);
    EXPECT_EQ(gWorkReplies, 0);
    EXPECT_EQ(managerCalls("complete").arraySize(), completesBefore);
}

// Reply handlers the engine reaches through ownedCall.
bool throwingReply(TSHandle*, TSMessage*, void*)
{
    throw std::runtime_error("boom");
}

bool restartingReply(TSHandle*, TSMessage*, void* context)
{
    auto* activity = static_cast<TestActivity*>(context);
    activity->m_wipingAccount = true;
    activity->onAdopted();
    // Still running on this activity after asking for the restart.
    gJournal.push_back("returned " + activity->m_name);
    return true;
}

TEST_F(ActivityEngineTest, AThrowingReplyHandlerEndsItsActivityWithARetry)
{
    gBehaviour["H"] = [](KelVvmActivity& activity) {
        activity.m_retryActivityName = KelVvmActivity::s_refreshScheduledActivity;
        activity.ownedRequest("quor://com.quor.testwork/slow", "{}", throwingReply);
    };
    Replies replies;
    callInto("quor://com.quor.kelvvm/queue", "{\"name\":\"H\",\"type\":2}", replies);
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    releaseKept();
    ASSERT_TRUE(runUntil([&] { return !replies.payloads.empty(); }));
    EXPECT_EQ(replies.payloads[0],
              "{\"returnValue\":false,\"errorText\":\"boom\",\"errorCode\":666}");
    EXPECT_EQ(managerCalls("create").arraySize(), 1u) << "failAndReschedule, not fail";
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start H", "delete H"}));
    EXPECT_TRUE(idleTimerArmed());
    call("quor://com.quor.activitymanager/cancel", "{\"activityName\":\"KelVvmRefreshSched\"}");
}

TEST_F(ActivityEngineTest, AnOwnedCallMustBeOneShot)
{
    gBehaviour["O"] = [](KelVvmActivity& activity) {
        // Its record would go with the first reply and the second would find it gone.
        EXPECT_THROW(activity.ownedCall(onWorkReply,
                                        [&](TSMethodFunction function, void* context) {
                                            return TamoMessage::subscribe(
                                                activity.m_serviceHandle,
                                                "quor://com.quor.connectionmanager/getStatus", "{}",
                                                function, context);
                                        }),
                     std::logic_error);
        activity.complete(true);
    };
    EXPECT_EQ(call("quor://com.quor.kelvvm/queue", "{\"name\":\"O\",\"type\":1}").stringify(),
              "{\"returnValue\":true}");
    // A change of the connection would reach a subscription left open.
    EXPECT_TRUE(call("quor://com.quor.connectionmanager/emulator/setWan",
                     "{\"state\":\"connected\"}")["returnValue"]
                    .asBool());
    runFor(50);
    EXPECT_EQ(gWorkReplies, 0);
}

TEST_F(ActivityEngineTest, ARestartRunsFromTheLoopAfterItsHandlerHasReturned)
{
    // The first mailbox check waits for its peer, whose reply asks for the restart; the
    // restarted check ends the activity at once.
    int runs = 0;
    gBehaviour["R"] = [](KelVvmActivity& activity) { activity.getMailbox(); };
    gBehaviour["R.mailbox"] = [&runs](KelVvmActivity& activity) {
        if (++runs == 1)
            activity.ownedRequest("quor://com.quor.testwork/slow", "{}", restartingReply);
        else
            activity.complete(true);
    };
    KelVvmActivityMgr::getInstance()->queueActivity(new TestActivity(nullptr, 2, "R"));
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    releaseKept();
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start R", "mailbox R", "returned R", "mailbox R",
                                                  "delete R"}));
    EXPECT_TRUE(idleTimerArmed());
}

TEST_F(ActivityEngineTest, AnEndedActivityIsNotTakenForTheOneNowAtItsAddress)
{
    // A queues B and completes, which starts B, which queues C in A's memory; then A's step
    // throws. The failure belongs to A, which is gone: C must run untouched.
    gBehaviour["A"] = [](KelVvmActivity& activity) {
        KelVvmActivityMgr::getInstance()->queueActivity(new TestActivity(nullptr, 2, "B"));
        activity.complete(true);
        throw std::runtime_error("late");
    };
    const void* addressOfA = nullptr;
    gBehaviour["B"] = [&addressOfA](KelVvmActivity& activity) {
        auto* c = new RecycledActivity(nullptr, 3, "C");
        EXPECT_EQ(static_cast<const void*>(c), addressOfA);
        KelVvmActivityMgr::getInstance()->queueActivity(c);
        activity.ownedRequest("quor://com.quor.testwork/slow", "{}", onWorkReply);
    };
    gBehaviour["C"] = [](KelVvmActivity& activity) { activity.complete(true); };
    auto* a = new RecycledActivity(nullptr, 1, "A");
    addressOfA = a;
    KelVvmActivityMgr::getInstance()->queueActivity(a);
    ASSERT_TRUE(runUntil([] { return gKept.size() == 1; }));
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start A", "delete A", "start B"}))
        << "C waits behind B, unfailed";
    releaseKept();
    ASSERT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }));
    EXPECT_EQ(gJournal, (std::vector<std::string>{"start A", "delete A", "start B", "delete B",
                                                  "start C", "delete C"}));
}

} // namespace
