// com.quor.activitymanager: triggers on a where clause and on a key, schedules in emulated
// time, the WAN requirement, completion with restart and a new trigger, cancellation by name.
#include "ActivityManagerService.h"
#include "BusClient.h"
#include "ConnectionManagerService.h"
#include "DbService.h"
#include "TelephonyService.h"

#include <gtest/gtest.h>

namespace
{

// The service the activities call back: remembers every callback payload and answers it.
std::vector<std::string> gCallbacks;
bool onCallback(TSHandle*, TSMessage* message, void*)
{
    gCallbacks.push_back(TSMessageGetPayload(message));
    TSMessageRespond(message, "{\"returnValue\":true}", nullptr);
    return true;
}
const TSMethod kCallee[] = {{"due", onCallback, 0}, {}};

class ActivityManagerTest : public SharedBusTest
{
  protected:
    void SetUp() override
    {
        gCallbacks.clear();
        emulator::DeviceContext context;
        context.timeScale = 1000;
        JValue dbConfig = JValue::object();
        dbConfig.put("file", ":memory:");
        m_db = std::make_unique<emulator::DbService>(dbConfig, context);
        m_telephony = std::make_unique<emulator::TelephonyService>(JValue::object(), context);
        m_connections =
            std::make_unique<emulator::ConnectionManagerService>(JValue::object(), context);
        m_manager =
            std::make_unique<emulator::ActivityManagerService>(JValue::object(), context, ".");
        std::string error;
        for (emulator::DeviceService* service :
             {static_cast<emulator::DeviceService*>(m_db.get()),
              static_cast<emulator::DeviceService*>(m_telephony.get()),
              static_cast<emulator::DeviceService*>(m_connections.get()),
              static_cast<emulator::DeviceService*>(m_manager.get())})
            ASSERT_TRUE(service->start(error)) << error;
        ASSERT_TRUE(TSRegister("com.quor.callee", &m_callee, nullptr));
        ASSERT_TRUE(TSRegisterCategory(m_callee, "/", kCallee, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSGmainAttach(m_callee, nullptr, nullptr));
        m_client = std::make_unique<BusClient>();
    }
    void TearDown() override
    {
        m_client.reset();
        TSUnregister(m_callee, nullptr);
        m_manager.reset();
        m_connections.reset();
        m_telephony.reset();
        m_db.reset();
    }

    JValue am(const std::string& method, const std::string& payload)
    {
        return m_client->call("quor://com.quor.activitymanager/" + method, payload);
    }
    int64_t create(const std::string& activity)
    {
        JValue reply = am("create", "{\"activity\":" + activity + ",\"start\":true}");
        EXPECT_TRUE(reply["returnValue"].asBool()) << reply.stringify();
        return reply["activityId"].asInt64();
    }
    JValue activities() { return am("emulator/activities", "{}")["activities"]; }

    std::unique_ptr<emulator::DbService> m_db;
    std::unique_ptr<emulator::TelephonyService> m_telephony;
    std::unique_ptr<emulator::ConnectionManagerService> m_connections;
    std::unique_ptr<emulator::ActivityManagerService> m_manager;
    TSHandle* m_callee = nullptr;
    std::unique_ptr<BusClient> m_client;
};

const char* const kSimTrigger =
    "\"trigger\":{\"method\":\"quor://com.quor.telephony/simStatusQuery\",\"params\":{"
    "\"subscribe\":true},\"where\":{\"prop\":[\"extended\",\"state\"],\"op\":\"!=\",\"val\":"
    "\"simready\"}}";

TEST_F(ActivityManagerTest, AWhereTriggerFiresOnTheChangeItWaitsFor)
{
    int64_t id = create(std::string("{\"name\":\"sim\",") + kSimTrigger +
                        ",\"callback\":{\"method\":\"quor://com.quor.callee/due\"}}");
    runFor(100);
    EXPECT_TRUE(gCallbacks.empty()) << "the SIM is ready, as the trigger's value says";
    EXPECT_TRUE(m_client
                    ->call("quor://com.quor.telephony/emulator/setSimState",
                           "{\"state\":\"simlocked\"}")["returnValue"]
                    .asBool());
    ASSERT_TRUE(runUntil([] { return !gCallbacks.empty(); }));
    JValue callback = parseJson(gCallbacks[0]);
    EXPECT_EQ(callback["$activity"]["activityId"].asInt64(), id);
    EXPECT_EQ(callback["$activity"]["name"].asString(), "sim");
    EXPECT_EQ(callback["$activity"]["trigger"]["extended"]["state"].asString(), "simlocked");
    EXPECT_FALSE(callback.hasKey("requirements"));
    EXPECT_EQ(activities().arraySize(), 0u) << "nobody adopted it: the call was its whole work";
}

TEST_F(ActivityManagerTest, AKeyTriggerOnADatabaseWatch)
{
    create("{\"name\":\"read\",\"trigger\":{\"method\":\"quor://com.quor.db/watch\",\"params\":{"
           "\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"readMessage\",\"op\":\"=\","
           "\"val\":true}]}},\"key\":\"fired\"},\"callback\":{\"method\":"
           "\"quor://com.quor.callee/due\"}}");
    m_client->call("quor://com.quor.db/put",
                   "{\"objects\":[{\"_kind\":\"k:1\",\"readMessage\":false}]}");
    runFor(100);
    EXPECT_TRUE(gCallbacks.empty());
    m_client->call("quor://com.quor.db/put",
                   "{\"objects\":[{\"_kind\":\"k:1\",\"readMessage\":true}]}");
    ASSERT_TRUE(runUntil([] { return !gCallbacks.empty(); }));
    EXPECT_TRUE(parseJson(gCallbacks[0])["$activity"]["trigger"]["fired"].asBool());
}

TEST_F(ActivityManagerTest, ScheduleComesDueInEmulatedTimeWithTheWanRequirement)
{
    m_client->call("quor://com.quor.connectionmanager/emulator/setWan",
                   "{\"state\":\"disconnected\"}");
    create("{\"name\":\"retry\",\"schedule\":{\"interval\":\"1m\"},\"callback\":{\"method\":"
           "\"quor://com.quor.callee/due\"},\"requirements\":{\"wan\":true}}");
    // One minute is 60 ms here; without a WAN the activity keeps waiting.
    runFor(300);
    EXPECT_TRUE(gCallbacks.empty());
    EXPECT_EQ(activities()[0]["state"].asString(), "wan");
    m_client->call("quor://com.quor.connectionmanager/emulator/setWan",
                   "{\"state\":\"connected\",\"ipAddress\":\"127.0.0.2\"}");
    ASSERT_TRUE(runUntil([] { return !gCallbacks.empty(); }));
    JValue callback = parseJson(gCallbacks[0]);
    EXPECT_EQ(callback["requirements"]["wan"]["ipAddress"].asString(), "127.0.0.2");
    EXPECT_FALSE(callback["$activity"].hasKey("trigger"));
}

TEST_F(ActivityManagerTest, CompleteWithRestartRearmsTheNewTriggerAndCancelEndsTheAdoption)
{
    int64_t id = create(std::string("{\"name\":\"sim\",") + kSimTrigger +
                        ",\"callback\":{\"method\":\"quor://com.quor.callee/due\"}}");
    Replies adoption;
    m_client->start("quor://com.quor.activitymanager/adopt",
                    "{\"activityId\":" + std::to_string(id) + ",\"subscribe\":true}", adoption);
    ASSERT_TRUE(runUntil([&] { return !adoption.payloads.empty(); }));
    EXPECT_EQ(adoption.payloads[0], "{\"returnValue\":true,\"adopted\":true}");
    m_client->call("quor://com.quor.telephony/emulator/setSimState", "{\"state\":\"simlocked\"}");
    ASSERT_TRUE(runUntil([] { return gCallbacks.size() == 1; }));
    ASSERT_TRUE(runUntil([&] { return activities()[0]["state"].asString() == "running"; }));
    JValue done = am("complete", "{\"activityId\":" + std::to_string(id) +
                                     ",\"restart\":true,\"trigger\":{\"method\":\"quor://"
                                     "com.quor.telephony/simStatusQuery\",\"params\":{"
                                     "\"subscribe\":true},\"where\":{\"prop\":[\"extended\","
                                     "\"state\"],\"op\":\"!=\",\"val\":\"simlocked\"}}}");
    EXPECT_TRUE(done["returnValue"].asBool());
    runFor(100);
    EXPECT_EQ(gCallbacks.size(), 1u) << "still locked: the new trigger waits";
    // Adopted again before it comes due, as the daemon does inside its callback.
    Replies again;
    m_client->start("quor://com.quor.activitymanager/adopt",
                    "{\"activityId\":" + std::to_string(id) + ",\"subscribe\":true}", again);
    ASSERT_TRUE(runUntil([&] { return !again.payloads.empty(); }));
    m_client->call("quor://com.quor.telephony/emulator/setSimState", "{\"state\":\"simready\"}");
    ASSERT_TRUE(runUntil([] { return gCallbacks.size() == 2; }));
    EXPECT_EQ(parseJson(gCallbacks[1])["$activity"]["trigger"]["extended"]["state"].asString(),
              "simready");
    ASSERT_TRUE(runUntil([&] { return activities()[0]["state"].asString() == "running"; }));
    EXPECT_TRUE(am("cancel", "{\"activityName\":\"sim\"}")["returnValue"].asBool());
    ASSERT_TRUE(runUntil([&] { return again.payloads.size() == 2; }));
    EXPECT_FALSE(again.at(1)["returnValue"].asBool());
    EXPECT_EQ(activities().arraySize(), 0u);
    EXPECT_FALSE(am("cancel", "{\"activityName\":\"sim\"}")["returnValue"].asBool());
    m_client->cancel(adoption);
    m_client->cancel(again);
}

TEST_F(ActivityManagerTest, CompleteWithoutRestartRemovesTheActivity)
{
    int64_t id = create("{\"name\":\"once\",\"schedule\":{\"interval\":\"1d\"},\"callback\":{"
                        "\"method\":\"quor://com.quor.callee/due\"}}");
    EXPECT_TRUE(am("complete",
                   "{\"activityId\":" + std::to_string(id) + ",\"restart\":false}")["returnValue"]
                    .asBool());
    EXPECT_EQ(activities().arraySize(), 0u);
    EXPECT_FALSE(
        am("complete", "{\"activityId\":" + std::to_string(id) + "}")["returnValue"].asBool());
}

TEST_F(ActivityManagerTest, BadActivitiesAreRefused)
{
    create("{\"name\":\"taken\",\"schedule\":{\"interval\":\"1d\"},\"callback\":{\"method\":"
           "\"quor://com.quor.callee/due\"}}");
    const char* bad[] = {
        "{\"name\":\"taken\",\"callback\":{\"method\":\"quor://com.quor.callee/due\"}}",
        "{\"name\":\"x\"}",
        "{\"name\":\"x\",\"schedule\":{\"interval\":\"15x\"},\"callback\":{\"method\":\"m\"}}",
        "{\"name\":\"x\",\"schedule\":{\"interval\":\"0m\"},\"callback\":{\"method\":\"m\"}}",
        "{\"name\":\"x\",\"trigger\":{\"method\":\"m\",\"where\":{\"prop\":\"a\",\"op\":\"~\","
        "\"val\":1}},\"callback\":{\"method\":\"m\"}}",
        "{\"callback\":{\"method\":\"m\"}}",
    };
    for (const char* activity : bad) {
        JValue reply = am("create", std::string("{\"activity\":") + activity + "}");
        EXPECT_FALSE(reply["returnValue"].asBool()) << activity;
        EXPECT_LT(reply["errorCode"].asInt32(), 0);
    }
    EXPECT_FALSE(am("adopt", "{\"activityId\":999,\"subscribe\":true}")["returnValue"].asBool());
    EXPECT_EQ(activities().arraySize(), 1u);
}

TEST_F(ActivityManagerTest, AdvanceMovesEmulatedTimeOnForEverySchedule)
{
    // A day is 86 s here, an hour 3.6 s: nothing comes due by itself during the case.
    for (const char* name : {"day", "hour"}) {
        create(std::string("{\"name\":\"") + name + "\",\"schedule\":{\"interval\":\"1" + name[0] +
               "\"},\"callback\":{\"method\":\"quor://com.quor.callee/due\"}}");
    }
    JValue first = am("emulator/advance", "{\"seconds\":3000}");
    EXPECT_EQ(first.stringify(), "{\"returnValue\":true,\"due\":0}");
    JValue second = am("emulator/advance", "{\"seconds\":600}");
    EXPECT_EQ(second.stringify(), "{\"returnValue\":true,\"due\":1}");
    ASSERT_TRUE(runUntil([] { return !gCallbacks.empty(); }));
    EXPECT_EQ(parseJson(gCallbacks[0])["$activity"]["name"].asString(), "hour");
    runFor(100);
    EXPECT_EQ(gCallbacks.size(), 1u) << "the day is still 23 h away";
    EXPECT_FALSE(am("emulator/advance", "{\"seconds\":-1}")["returnValue"].asBool());
}

TEST_F(ActivityManagerTest, AnUncallableTriggerWaitsWithOneTimerThatCancelStops)
{
    // Nobody serves the trigger: it is tried again a minute later (60 ms here), while the
    // schedule (1 ms here) would have come due long before.
    create("{\"name\":\"broken\",\"schedule\":{\"interval\":\"1s\"},\"trigger\":{"
           "\"method\":\"quor://com.quor.nobody/m\",\"key\":\"fired\"},\"callback\":{\"method\":"
           "\"quor://com.quor.callee/due\"}}");
    runFor(30);
    EXPECT_TRUE(am("cancel", "{\"activityName\":\"broken\"}")["returnValue"].asBool());
    // A timer left behind would now fire on the removed activity.
    runFor(200);
    EXPECT_TRUE(gCallbacks.empty());
    EXPECT_EQ(activities().arraySize(), 0u);
}

TEST(IntervalTest, NotationInMilliseconds)
{
    using emulator::ActivityManagerService;
    EXPECT_EQ(ActivityManagerService::intervalMilliseconds("15m"), 900000);
    EXPECT_EQ(ActivityManagerService::intervalMilliseconds("10s"), 10000);
    EXPECT_EQ(ActivityManagerService::intervalMilliseconds("2h"), 7200000);
    EXPECT_EQ(ActivityManagerService::intervalMilliseconds("1d"), 86400000);
    for (const char* bad : {"", "m", "15", "15mm", "-5m", "+5m", " 5m", "5 m"})
        EXPECT_LT(ActivityManagerService::intervalMilliseconds(bad), 0) << bad;
}

} // namespace
