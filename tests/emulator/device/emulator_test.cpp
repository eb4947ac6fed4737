// nimbos-emulator as a program: DIR/env when ready, its own bus or a given one, data kept
// across a kill -9, and a clean stop on SIGTERM.
#include "BusClient.h"
#include "EmulatorProcess.h"

#include <curl/curl.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace
{

using Running = EmulatorProcess;

Running startEmulator(const std::string& stateDir, bool ownBus,
                      const std::vector<std::string>& extraArgs = {})
{
    return ::startEmulator(NIMBOS_EMULATOR, stateDir, ownBus, extraArgs);
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

// The processes descended from `pid`, found through their parents in /proc.
std::vector<pid_t> descendants(pid_t pid)
{
    std::map<pid_t, std::vector<pid_t>> children;
    GDir* proc = g_dir_open("/proc", 0, nullptr);
    while (const char* name = proc ? g_dir_read_name(proc) : nullptr) {
        if (!g_ascii_isdigit(name[0]))
            continue;
        std::ifstream stat(std::string("/proc/") + name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t end = text.rfind(')');
        pid_t child = 0, parent = 0;
        char state = 0;
        if (end != std::string::npos && sscanf(text.c_str(), "%d", &child) == 1 &&
            sscanf(text.c_str() + end + 1, " %c %d", &state, &parent) == 2)
            children[parent].push_back(child);
    }
    if (proc)
        g_dir_close(proc);
    std::vector<pid_t> found;
    std::vector<pid_t> pending = {pid};
    while (!pending.empty()) {
        pid_t next = pending.back();
        pending.pop_back();
        for (pid_t child : children[next]) {
            found.push_back(child);
            pending.push_back(child);
        }
    }
    return found;
}

// The process that owns `name` on the bus of TAMO_BUS_ADDRESS; 0 when none.
pid_t ownerPid(const char* name)
{
    GDBusConnection* bus = rawBusConnection();
    if (!bus)
        return 0;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    guint32 pid = 0;
    if (reply) {
        g_variant_get(reply, "(u)", &pid);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return pid_t(pid);
}

// Gone, or a zombie waiting for a parent that may never reap it.
bool isGone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    return end == std::string::npos || text.compare(end + 1, 3, " Z ") == 0;
}

// A supervisor's kill -9 leaves neither the emulator's bus nor a daemon the bus started.
TEST_F(EmulatorProgramTest, KilledEmulatorTakesItsBusAndActivatedDaemonsWithIt)
{
    Running running = startEmulator(m_stateDir, true, {"--service-dir", KEL_DEV_SERVICE_DIR});
    std::string previous = g_getenv("TAMO_BUS_ADDRESS") ? g_getenv("TAMO_BUS_ADDRESS") : "";
    g_setenv("TAMO_BUS_ADDRESS", running.env["TAMO_BUS_ADDRESS"].c_str(), TRUE);
    {
        BusClient client;
        EXPECT_EQ(client.call("quor://com.quor.kelvvm/ping", "{\"a\":1}").stringify(), "{\"a\":1}");
    }
    // The bus is the emulator's child; an activated daemon is the bus's grandchild, which the
    // bus itself leaves to init.
    std::vector<pid_t> left = descendants(running.pid);
    EXPECT_EQ(left.size(), 1u) << "the bus";
    pid_t kelvvm = ownerPid("com.quor.kelvvm");
    ASSERT_GT(kelvvm, 0);
    left.push_back(kelvvm);
    stopEmulator(running, SIGKILL);
    EXPECT_TRUE(runUntil(
        [&] {
            return std::all_of(left.begin(), left.end(), [](pid_t pid) { return isGone(pid); });
        },
        10000));
    if (previous.empty())
        g_unsetenv("TAMO_BUS_ADDRESS");
    else
        g_setenv("TAMO_BUS_ADDRESS", previous.c_str(), TRUE);
}

// Seven objects of 5 MiB: a find of them all would not fit in a bus message. It is refused with
// a text that says so, and the emulator carries on.
TEST_F(EmulatorProgramTest, FindTooLargeForTheBusIsRefusedAndEveryServiceLivesOn)
{
    TestBus bus;
    Running running = startEmulator(m_stateDir, false);
    {
        BusClient client;
        std::string put = "{\"objects\":[{\"_kind\":\"big:1\",\"blob\":\"" +
                          std::string(5 * 1024 * 1024, 'x') + "\"}]}";
        for (int i = 0; i < 7; i++)
            ASSERT_TRUE(client.call("quor://com.quor.db/put", put)["returnValue"].asBool());
        put.clear();
        put.shrink_to_fit();
        JValue found = client.call("quor://com.quor.db/find", "{\"query\":{\"from\":\"big:1\"}}");
        EXPECT_FALSE(found["returnValue"].asBool());
        EXPECT_LT(found["errorCode"].asInt32(), 0);
        EXPECT_NE(found["errorText"].asString().find("do not fit in one bus message"),
                  std::string::npos)
            << found["errorText"].asString();
        // The same query, narrowed, is answered.
        EXPECT_EQ(client
                      .call("quor://com.quor.db/find",
                            "{\"query\":{\"from\":\"big:1\",\"limit\":2}}")["results"]
                      .arraySize(),
                  2u);
        for (const char* uri :
             {"quor://com.quor.telephony/imsiQuery", "quor://com.quor.connectionmanager/getStatus",
              "quor://com.quor.activitymanager/emulator/activities",
              "quor://com.quor.applicationManager/emulator/opened",
              "quor://com.quor.carrier.voicemail/emulator/mailbox",
              "quor://com.quor.carrier.hotspot/emulator/status"})
            EXPECT_TRUE(client.call(uri, "{}")["returnValue"].asBool()) << uri;
    }
    EXPECT_EQ(waitpid(running.pid, nullptr, WNOHANG), 0) << "the emulator still runs";
    EXPECT_EQ(WEXITSTATUS(stopEmulator(running, SIGTERM)), 0);
}

TEST_F(EmulatorProgramTest, OwnBusServesEveryDeviceServiceAndStopsCleanly)
{
    Running running = startEmulator(m_stateDir, true);
    std::string address = running.env["TAMO_BUS_ADDRESS"];
    ASSERT_FALSE(address.empty());
    std::string sourced =
        "env -i bash -c '. \"" + m_stateDir + "/env\" && command -v tamo-send >/dev/null'";
    EXPECT_EQ(system(sourced.c_str()), 0) << "DIR/env puts the build tree's tools on PATH";
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
