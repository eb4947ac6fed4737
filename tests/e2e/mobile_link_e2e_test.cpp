// A synchronization as a phone on a mobile link makes it: the carrier's servers over https with
// the emulator's CA and behind the modelled 3g link, the real kelvvm activated by the bus, with
// connections reused or not. The mailbox must come out the same; the connections tell which.
#include "DeviceTest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace
{

const int kCalls = 4;
const char* const kMessages = "com.quor.vvm.kelmessages:1";
// Every exchange costs several round trips of 150 ms here; a loaded machine adds its share.
const int kPatienceMs = 90000;

std::string configuration(bool reuse)
{
    std::string calls;
    for (int i = 1; i <= kCalls; i++) {
        calls += std::string(calls.empty() ? "" : ",") + "{\"id\":\"" + std::to_string(3000 + i) +
                 "\",\"caller\":\"336222222" + std::to_string(10 + i) +
                 "\",\"duration\":" + std::to_string(2 * i) + "}";
    }
    std::string device = deviceConfiguration(
        "{\"namespace\":\"http://ws.vvm.example.invalid/\",\"calls\":[" + calls + "]}");
    return "{\"settings\":{\"kelvvm\":{\"network\":{\"reuse-connections\":\"" +
           std::string(reuse ? "true" : "false") + "\"}}}," + device.substr(1);
}

std::string contentOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class MobileLinkTest : public DeviceTest
{
  protected:
    MobileLinkTest() : DeviceTest("kelvvm-link-e2e", kPatienceMs) {}

    // Starts the device over https behind the 3g link, lets the start-up's SIM check finish,
    // then runs one synchronization and checks the mailbox it leaves. Returns the connections
    // the link carried and the exchanges the platform answered during the synchronization.
    std::pair<int64_t, size_t> synchronize(bool reuse)
    {
        m_device.configure(configuration(reuse));
        startDevice({"--time-scale", "300", "--tls", "--link", "3g"}, {{"QMLOG_STDERR", "1"}});
        if (HasFatalFailure())
            return {};
        EXPECT_EQ(m_device.env("VOICEMAIL_SERVICE_URL").rfind("https://127.0.0.1:", 0), 0u);
        // The SIM-status activity activates kelvvm at once; its account check comes first.
        EXPECT_TRUE(runUntil(
            [&] {
                JValue sim = activity("KelVvmSimStatus");
                return sim["state"].asString() == "waiting" && !sim["adopted"].asBool() &&
                       sim["activity"]["trigger"]["where"]["val"].asString() == "simready";
            },
            kPatienceMs));
        control("com.quor.carrier.voicemail", "clearRequests", "{}");
        control("com.quor.carrier.link", "clearStats", "{}");

        EXPECT_EQ(call("quor://com.quor.kelvvm/smsNotification").stringify(),
                  "{\"returnValue\":true}");
        JValue records = call("quor://com.quor.db/find", std::string("{\"query\":{\"from\":\"") +
                                                             kMessages + "\"}}")["results"];
        JValue calls =
            call("quor://com.quor.carrier.voicemail/emulator/mailbox")["mailbox"]["calls"];
        EXPECT_EQ(records.arraySize(), size_t(kCalls));
        EXPECT_EQ(calls.arraySize(), size_t(kCalls));
        const std::string media = m_device.env("KELVVM_MEDIA_FOLDER");
        for (size_t i = 0; i < calls.arraySize(); i++) {
            std::string id = calls[i]["id"].asString();
            SCOPED_TRACE(id);
            std::string audio = contentOf(media + id + ".amr");
            EXPECT_EQ(int64_t(audio.size()), calls[i]["audioSize"].asInt64());
            EXPECT_EQ(audio.compare(0, 6, "#!AMR\n"), 0);
            EXPECT_TRUE(calls[i]["delivered"].asBool());
        }
        JValue requests = call("quor://com.quor.carrier.voicemail/emulator/requests")["requests"];
        JValue stats = call("quor://com.quor.carrier.link/emulator/link")["stats"];
        return {stats["connections"].asInt64(), requests.arraySize()};
    }
};

TEST_F(MobileLinkTest, OverHttpsOn3gOneConnectionPerExchange)
{
    auto [connections, exchanges] = synchronize(false);
    // The list, then per call its message info, download and delivery report.
    EXPECT_GE(exchanges, size_t(1 + 3 * kCalls));
    EXPECT_EQ(size_t(connections), exchanges);
}

TEST_F(MobileLinkTest, OverHttpsOn3gReusedConnections)
{
    auto [connections, exchanges] = synchronize(true);
    EXPECT_GE(exchanges, size_t(1 + 3 * kCalls));
    // One kept connection; a second only if the platform closed the first one idle.
    EXPECT_GE(connections, 1);
    EXPECT_LE(connections, 2);
}

} // namespace
