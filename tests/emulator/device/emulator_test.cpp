// nimbos-emulator as a program: DIR/env when ready, its own bus or a given one, data kept
// across a kill -9, and a clean stop on SIGTERM.
#include "BusClient.h"
#include "EmulatorProcess.h"

#include <curl/curl.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <sstream>

namespace
{

using Running = EmulatorProcess;

Running startEmulator(const std::string& stateDir, bool ownBus)
{
    return ::startEmulator(NIMBOS_EMULATOR, stateDir, ownBus);
}

class EmulatorProgramTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        gchar* dir = g_dir_make_tmp("emulator-test-XXXXXX", nullptr);
        m_stateDir = dir;
        g_free(dir);
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + m_stateDir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    std::string m_stateDir;
};

TEST_F(EmulatorProgramTest, StoredObjectsSurviveAKillNineOnAGivenBus)
{
    TestBus bus;
    Running first = startEmulator(m_stateDir, false);
    EXPECT_EQ(first.env["TAMO_BUS_ADDRESS"], bus.address());
    for (const char* key :
         {"TAMO_SYSTEM_PROPERTIES", "TAMO_PREFS_DIR", "KELVVM_CONFIG", "KELWISPRD_CONFIG"})
        EXPECT_TRUE(g_file_test(first.env[key].c_str(), G_FILE_TEST_EXISTS)) << key;
    std::string id;
    {
        BusClient client;
        JValue put = client.call("quor://com.quor.db/put",
                                 "{\"objects\":[{\"_kind\":\"k:1\",\"keep\":\"me\"}]}");
        id = put["results"][0]["id"].asString();
        ASSERT_FALSE(id.empty()) << put.stringify();
        EXPECT_FALSE(
            client.call("quor://com.quor.db/find", "{\"query\":{\"from\":5}}")["returnValue"]
                .asBool());
    }
    stopEmulator(first, SIGKILL);
    {
        BusClient client;
        // The bus lets the names go once it notices the dead connections.
        ASSERT_TRUE(runUntil([&] {
            return client.call("quor://com.quor.db/emulator/calls", "{}")["errorCode"].asInt32() ==
                   -1;
        }));
    }
    Running second = startEmulator(m_stateDir, false);
    {
        BusClient client;
        JValue found = client.call("quor://com.quor.db/find", "{\"query\":{\"from\":\"k:1\"}}");
        ASSERT_EQ(found["results"].arraySize(), 1u) << found.stringify();
        EXPECT_EQ(found["results"][0]["_id"].asString(), id);
        EXPECT_EQ(found["results"][0]["keep"].asString(), "me");
    }
    EXPECT_EQ(WEXITSTATUS(stopEmulator(second, SIGTERM)), 0);
}

TEST_F(EmulatorProgramTest, OwnBusServesEveryDeviceServiceAndStopsCleanly)
{
    Running running = startEmulator(m_stateDir, true);
    std::string address = running.env["TAMO_BUS_ADDRESS"];
    ASSERT_FALSE(address.empty());
    std::string previous = g_getenv("TAMO_BUS_ADDRESS") ? g_getenv("TAMO_BUS_ADDRESS") : "";
    g_setenv("TAMO_BUS_ADDRESS", address.c_str(), TRUE);
    {
        BusClient client;
        EXPECT_EQ(client.call("quor://com.quor.telephony/imsiQuery", "{}")["extended"]["value"]
                      .asString(),
                  "208101234567890");
        EXPECT_EQ(client.call("quor://com.quor.telephony/platformQuery", "{}").stringify(),
                  "{\"returnValue\":true,\"extended\":{\"mcc\":\"208\",\"mnc\":\"10\"}}");
        EXPECT_EQ(
            client.call("quor://com.quor.connectionmanager/getStatus", "{}")["wan"]["ipAddress"]
                .asString(),
            "127.0.0.1");
        EXPECT_FALSE(
            client
                .call("quor://com.quor.preferences/systemProperties/Get",
                      "{\"key\":\"com.quor.properties.nduid\"}")["com.quor.properties.nduid"]
                .asString()
                .empty());
        EXPECT_FALSE(client
                         .call("quor://com.quor.systemservice/getPreferences",
                               "{\"keys\":[\"uaString\"]}")["uaString"]
                         .asString()
                         .empty());
        EXPECT_TRUE(client
                        .call("quor://com.quor.applicationManager/open",
                              "{\"id\":\"com.quor.app.wifi\",\"params\":{}}")["returnValue"]
                        .asBool());
        EXPECT_EQ(
            client
                .call("quor://com.quor.applicationManager/emulator/opened", "{}")["opened"][0]["id"]
                .asString(),
            "com.quor.app.wifi");
        EXPECT_EQ(
            client.call("quor://com.quor.activitymanager/emulator/activities", "{}")["activities"]
                .arraySize(),
            3u)
            << "the activities of the configuration's files";
    }
    int status = stopEmulator(running, SIGTERM);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    TSHandle* handle = nullptr;
    EXPECT_FALSE(TSRegisterAnonymous(&handle, nullptr)) << "its bus went with it";
    if (handle)
        TSUnregister(handle, nullptr);
    if (previous.empty())
        g_unsetenv("TAMO_BUS_ADDRESS");
    else
        g_setenv("TAMO_BUS_ADDRESS", previous.c_str(), TRUE);
}

// The body of a plain GET, or of a POST of `post`.
std::string httpGet(const std::string& url, const std::string* post = nullptr)
{
    std::string body;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (post)
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post->c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) {
            static_cast<std::string*>(out)->append(data, size * n);
            return size * n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK) << url;
    curl_easy_cleanup(curl);
    return body;
}

std::string settingOf(const std::string& file, const char* group, const char* key)
{
    GKeyFile* settings = g_key_file_new();
    g_key_file_load_from_file(settings, file.c_str(), G_KEY_FILE_NONE, nullptr);
    gchar* value = g_key_file_get_string(settings, group, key, nullptr);
    std::string text = value ? value : "";
    g_free(value);
    g_key_file_free(settings);
    return text;
}

TEST_F(EmulatorProgramTest, HotspotGatewayIsAnnouncedAndSteeredOverTheBus)
{
    TestBus bus;
    Running running = startEmulator(m_stateDir, false);
    std::string gateway = running.env["HOTSPOT_GATEWAY_URL"];
    ASSERT_EQ(gateway.rfind("http://127.0.0.1:", 0), 0u) << gateway;

    for (const char* key : {"ConnectivityCheckHost", "AccountCreationHost"})
        EXPECT_EQ(settingOf(running.env["KELWISPRD_CONFIG"], "Endpoints", key), gateway) << key;

    EXPECT_NE(httpGet(running.env["HOTSPOT_CONNECTIVITY_CHECK_URL"]).find("ABCd"),
              std::string::npos);
    {
        BusClient client;
        JValue page = client.call("quor://com.quor.carrier.hotspot/emulator/redirectPage", "{}");
        EXPECT_NE(page["page"].asString().find("<LoginURL>"), std::string::npos)
            << page.stringify();
        JValue requests = client.call("quor://com.quor.carrier.hotspot/emulator/requests", "{}");
        ASSERT_EQ(requests["requests"].arraySize(), 1u) << requests.stringify();
        EXPECT_EQ(requests["requests"][0]["endpoint"].asString(), "connectivityCheck");
        EXPECT_TRUE(client
                        .call("quor://com.quor.carrier.hotspot/emulator/configure",
                              "{\"settings\":{\"connectivity\":\"closed\"}}")["returnValue"]
                        .asBool());
        EXPECT_FALSE(client
                         .call("quor://com.quor.carrier.hotspot/emulator/configure",
                               "{\"settings\":{\"connectivity\":\"sideways\"}}")["returnValue"]
                         .asBool());
    }
    EXPECT_EQ(httpGet(running.env["HOTSPOT_CONNECTIVITY_CHECK_URL"]).find("ABCd"),
              std::string::npos);
    EXPECT_EQ(WEXITSTATUS(stopEmulator(running, SIGTERM)), 0);
}

TEST_F(EmulatorProgramTest, VoicemailPlatformIsAnnouncedAndSteeredOverTheBus)
{
    TestBus bus;
    Running running = startEmulator(m_stateDir, false);
    std::string service = running.env["VOICEMAIL_SERVICE_URL"];
    ASSERT_EQ(service.rfind("http://127.0.0.1:", 0), 0u) << service;
    const std::string& kelvvm = running.env["KELVVM_CONFIG"];
    EXPECT_EQ(settingOf(kelvvm, "voicemail", "url"), service);
    EXPECT_EQ(settingOf(kelvvm, "report", "url"), running.env["VOICEMAIL_REPORT_URL"]);
    std::string ns = settingOf(kelvvm, "voicemail", "namespace");
    ASSERT_FALSE(ns.empty());

    std::string envelope =
        "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:web=\"" +
        ns +
        "\"><soapenv:Header/><soapenv:Body><web:getAllCallOpti><web:codeProjet>QORVVM"
        "</web:codeProjet><web:index>0</web:index><web:nb>-1</web:nb></web:getAllCallOpti>"
        "</soapenv:Body></soapenv:Envelope>";
    std::string answer = httpGet(service, &envelope);
    EXPECT_NE(answer.find("1001"), std::string::npos) << answer;
    EXPECT_NE(answer.find("1003"), std::string::npos) << answer;
    {
        BusClient client;
        JValue mailbox = client.call("quor://com.quor.carrier.voicemail/emulator/mailbox", "{}");
        ASSERT_EQ(mailbox["mailbox"]["calls"].arraySize(), 3u) << mailbox.stringify();
        std::string audioUrl = mailbox["mailbox"]["calls"][0]["audioUrl"].asString();
        EXPECT_EQ(httpGet(audioUrl).rfind("#!AMR\n", 0), 0u) << audioUrl;
        JValue requests = client.call("quor://com.quor.carrier.voicemail/emulator/requests", "{}");
        EXPECT_EQ(requests["requests"].arraySize(), 2u) << requests.stringify();
        EXPECT_TRUE(client
                        .call("quor://com.quor.carrier.voicemail/emulator/removeCall",
                              "{\"id\":\"1002\"}")["returnValue"]
                        .asBool());
        EXPECT_FALSE(client
                         .call("quor://com.quor.carrier.voicemail/emulator/removeCall",
                               "{\"id\":\"1002\"}")["returnValue"]
                         .asBool());
    }
    EXPECT_EQ(httpGet(service, &envelope).find("1002"), std::string::npos);
    EXPECT_EQ(WEXITSTATUS(stopEmulator(running, SIGTERM)), 0);
}

} // namespace
