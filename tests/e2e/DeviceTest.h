// A whole-system case: the emulated device, whose bus activates the real daemons, and a client
// on that bus as any phone application would be. Its users link kel_device_test.
#ifndef KEL_E2E_DEVICETEST_H
#define KEL_E2E_DEVICETEST_H

#include "BusClient.h"
#include "EmulatedDevice.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class DeviceTest : public ::testing::Test
{
  protected:
    // State folders are named after `prefix`; `patienceMs` bounds the wait for an answer.
    DeviceTest(const char* prefix, int patienceMs)
        : m_device(NIMBOS_EMULATOR, prefix), m_patienceMs(patienceMs)
    {
    }

    // Starts the device (again, after a kill) with `args` and `env` (see EmulatedDevice) and
    // connects the client to its bus.
    void startDevice(std::vector<std::string> args = {},
                     const std::map<std::string, std::string>& env = {})
    {
        args.insert(args.begin(), {"--service-dir", KEL_DEV_SERVICE_DIR});
        ASSERT_NO_FATAL_FAILURE(m_device.start(args, env));
        m_client = std::make_unique<BusClient>();
    }

    // A device kept busy by a daemon (a backlog of records to store, a sanitized build) answers
    // late: every call gets the case's patience.
    JValue call(const std::string& uri, const std::string& payload = "{}")
    {
        return m_client->call(uri, payload, m_patienceMs);
    }
    // A command of the control category of the emulator's `service`, which must succeed.
    JValue control(const std::string& service, const std::string& command,
                   const std::string& payload)
    {
        JValue answer = call("quor://" + service + "/emulator/" + command, payload);
        EXPECT_TRUE(answer["returnValue"].asBool()) << command << " " << answer.stringify();
        return answer;
    }
    // The activity named `name` as the activity manager shows it; null when there is none.
    JValue activity(const std::string& name)
    {
        JValue all = call("quor://com.quor.activitymanager/emulator/activities")["activities"];
        for (size_t i = 0; i < all.arraySize(); i++) {
            if (all[i]["name"].asString() == name)
                return all[i];
        }
        return JValue();
    }
    // The first answer to a call started with `replies`; ends the call.
    JValue answer(Replies& replies)
    {
        EXPECT_TRUE(runUntil([&] { return !replies.payloads.empty(); }, m_patienceMs));
        // The call stays open for further replies, which must not reach `replies` once gone.
        m_client->cancel(replies);
        return replies.at(0);
    }

    // Declared first, so that it goes last, after the bus handles.
    EmulatedDevice m_device;
    std::unique_ptr<BusClient> m_client;

  private:
    int m_patienceMs;
};

#endif
