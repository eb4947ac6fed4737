// What every device service owes a client that sends something it cannot use: a refusal with an
// "errorCode", an input error never passed off as an internal one, values that cannot work
// refused up front, and a record of calls that stays bounded.
#include "ActivityManagerService.h"
#include "BusClient.h"
#include "ConnectionManagerService.h"
#include "DbService.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace
{

// A service whose one method fails the way the servers' own request checks do.
class CheckingService : public emulator::DeviceService
{
  public:
    CheckingService() : DeviceService("com.quor.checking", emulator::DeviceContext())
    {
        addMethod("check", [](TSMessage*, const JValue&) -> std::unique_ptr<JValue> {
            throw std::invalid_argument("\"level\" must be from 1 to 3");
        });
        addMethod("crash", [](TSMessage*, const JValue&) -> std::unique_ptr<JValue> {
            throw std::runtime_error("disk on fire");
        });
    }
};

class RefusalsTest : public SharedBusTest
{
  protected:
    void SetUp() override
    {
        JValue dbConfig = JValue::object();
        dbConfig.put("file", ":memory:");
        m_db = std::make_unique<emulator::DbService>(dbConfig, emulator::DeviceContext());
        m_connections = std::make_unique<emulator::ConnectionManagerService>(
            JValue::object(), emulator::DeviceContext());
        m_manager = std::make_unique<emulator::ActivityManagerService>(
            JValue::object(), emulator::DeviceContext(), ".");
        std::string error;
        for (emulator::DeviceService* service :
             {static_cast<emulator::DeviceService*>(m_db.get()),
              static_cast<emulator::DeviceService*>(m_connections.get()),
              static_cast<emulator::DeviceService*>(m_manager.get()),
              static_cast<emulator::DeviceService*>(&m_checking)})
            ASSERT_TRUE(service->start(error)) << error;
        m_client = std::make_unique<BusClient>();
    }
    void TearDown() override
    {
        m_client.reset();
        m_checking.stop();
        m_manager.reset();
        m_connections.reset();
        m_db.reset();
    }

    std::unique_ptr<emulator::DbService> m_db;
    std::unique_ptr<emulator::ConnectionManagerService> m_connections;
    std::unique_ptr<emulator::ActivityManagerService> m_manager;
    CheckingService m_checking;
    std::unique_ptr<BusClient> m_client;
};

TEST_F(RefusalsTest, ValuesThatCannotWorkAreRefusedWithACode)
{
    const char* const due = "quor://com.quor.callee/due";
    struct Case {
        std::string uri, payload;
    } cases[] = {
        {"quor://com.quor.db/put", "{\"objects\":[{\"_kind\":\"\",\"a\":1}]}"},
        {"quor://com.quor.connectionmanager/emulator/setWan", "{\"ipAddress\":\"banana\"}"},
        {"quor://com.quor.connectionmanager/emulator/setWan",
         "{\"state\":\"disconnected\",\"ipAddress\":\"10.0.0.300\"}"},
        {"quor://com.quor.activitymanager/create",
         "{\"activity\":{\"name\":\"a\",\"callback\":{\"method\":\"nope\"}}}"},
        {"quor://com.quor.activitymanager/create",
         std::string("{\"activity\":{\"name\":\"b\",\"callback\":{\"method\":\"") + due +
             "\"},\"trigger\":{\"method\":\"quor://com.quor.telephony/bad-name\"}}}"},
        {"quor://com.quor.checking/check", "{}"},
    };
    for (const Case& c : cases) {
        JValue reply = m_client->call(c.uri, c.payload);
        EXPECT_FALSE(reply["returnValue"].asBool()) << c.payload;
        EXPECT_EQ(reply["errorCode"].asInt32(), -986) << reply.stringify();
        EXPECT_EQ(reply["errorText"].asString().find("Internal"), std::string::npos)
            << reply.stringify();
    }
    JValue wan = m_client->call("quor://com.quor.connectionmanager/getStatus", "{}")["wan"];
    EXPECT_EQ(wan["state"].asString(), "connected") << "a refused change changes nothing";
    EXPECT_EQ(wan["ipAddress"].asString(), "127.0.0.1");
    EXPECT_TRUE(m_client
                    ->call("quor://com.quor.connectionmanager/emulator/setWan",
                           "{\"ipAddress\":\"::1\"}")["returnValue"]
                    .asBool());
    EXPECT_EQ(
        m_client->call("quor://com.quor.activitymanager/emulator/activities", "{}")["activities"]
            .arraySize(),
        0u);
    // Our own failures stay labelled as such.
    JValue crash = m_client->call("quor://com.quor.checking/crash", "{}");
    EXPECT_EQ(crash["errorText"].asString(), "Internal error: disk on fire");
}

TEST_F(RefusalsTest, TheRecordOfCallsKeepsOnlyTheLatest)
{
    for (int i = 0; i < 300; i++)
        m_client->call("quor://com.quor.connectionmanager/getStatus",
                       "{\"n\":" + std::to_string(i) + "}");
    JValue calls =
        m_client->call("quor://com.quor.connectionmanager/emulator/calls", "{}")["calls"];
    ASSERT_EQ(calls.arraySize(), 256u);
    EXPECT_EQ(calls[0]["payload"]["n"].asInt32(), 44);
    EXPECT_EQ(calls[255]["payload"]["n"].asInt32(), 299);
}

} // namespace
