// Bad input on every bus method of both daemons, sent as any peer on the bus could send it:
// texts that are not JSON, scalars, documented keys missing or of every wrong type, a 1 MiB
// string, nesting 10,000 deep. Each case must get its documented reply or a clear refusal, and
// the same daemon process must answer its next call. The counts of what ran go to
// bad-input-<daemon>.md in the build folder (docs/bad-input.md keeps them).
#include "DeviceTest.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace
{

const int kPatienceMs = 30000;
const char* const kKelvvm = "com.quor.kelvvm";
const char* const kHotspot = "com.quor.wifi.carrierhotspot";
const char* const kNotJsonRefusal = "bus refusal: The payload must be one JSON text";

// A documented key: its path in the payload, the kinds of value its reader takes, and whether
// the method works without it.
enum Kind { String, Number, Object, Array, Boolean, Null };
const Kind kAllKinds[] = {String, Number, Object, Array, Boolean, Null};
const char* const kKindNames[] = {"string", "number", "object", "array", "boolean", "null"};
const char* const kKindSamples[] = {"\"text\"", "7", "{\"k\":1}", "[1]", "true", "null"};

struct Key {
    std::vector<std::string> path;
    std::vector<Kind> accepted;
    bool required;
};

// One generated case and what it is expected to bring.
struct Case {
    std::string label;
    std::string payload;
    // When set, the payload breaks a required key (missing or of a wrong kind).
    bool broken = false;
    bool unparsable = false; // not one JSON text for the bus
    bool scalar = false;     // one JSON text, but not an object or array
};

struct Method {
    const char* service;
    const char* name;
    // A payload every key of which is good (but that starts no real work).
    const char* base;
    std::vector<Key> keys;
    // The reply the case must get: the exact text, or "" to only require a clear reply.
    std::function<std::string(const Case&)> expected;
};

std::string setAt(JValue root, const std::vector<std::string>& path, const char* valueText,
                  bool remove)
{
    JValue node = root;
    for (size_t i = 0; i + 1 < path.size(); i++)
        node = node[path[i]];
    if (remove)
        node.remove(path.back());
    else
        node.put(path.back(), parseJson(std::string("[") + valueText + "]")[0]);
    return root.stringify();
}

std::string joined(const std::vector<std::string>& path)
{
    std::string text;
    for (const auto& part : path)
        text += (text.empty() ? "" : ".") + part;
    return text;
}

std::vector<Case> casesFor(const Method& method)
{
    std::vector<Case> cases;
    auto add = [&](std::string label, std::string payload) {
        Case c;
        c.label = std::move(label);
        c.payload = std::move(payload);
        cases.push_back(c);
        return &cases.back();
    };
    add("good", method.base);
    add("not JSON: text", "hello")->unparsable = true;
    add("not JSON: cut short", "{\"a\":")->unparsable = true;
    add("not JSON: two texts", "{}{}")->unparsable = true;
    add("scalar: number", "42")->scalar = true;
    add("scalar: string", "\"{}\"")->scalar = true;
    add("scalar: true", "true")->scalar = true;
    add("scalar: null", "null")->scalar = true;
    const std::string mebibyte(1u << 20, 'x');
    add("1 MiB string under an unknown key",
        setAt(parseJson(method.base), {"padding"}, ("\"" + mebibyte + "\"").c_str(), false));
    add("nesting 10,000 deep", std::string(10000, '[') + std::string(10000, ']'))->unparsable =
        true;
    for (const Key& key : method.keys) {
        Case* missing = add(joined(key.path) + " missing",
                            setAt(parseJson(method.base), key.path, nullptr, true));
        missing->broken = key.required;
        for (Kind kind : kAllKinds) {
            bool accepted = false;
            for (Kind good : key.accepted)
                accepted = accepted || good == kind;
            if (accepted)
                continue;
            Case* wrong = add(joined(key.path) + " " + kKindNames[kind],
                              setAt(parseJson(method.base), key.path, kKindSamples[kind], false));
            wrong->broken = key.required;
        }
        for (Kind good : key.accepted) {
            if (good == String)
                add(joined(key.path) + " 1 MiB", setAt(parseJson(method.base), key.path,
                                                       ("\"" + mebibyte + "\"").c_str(), false));
        }
    }
    return cases;
}

const char* const kTrue = "{\"returnValue\":true}";
const char* const kFalse = "{\"returnValue\":false}";
const char* const kUnreadable =
    "{\"returnValue\":false,\"errorCode\":666,\"errorText\":\"JSON parse exception\"}";

// An activity method queued at once: a payload it cannot read is refused at once, any other
// ends with the activity's own reply.
std::function<std::string(const Case&)> queued(std::string done)
{
    return [done](const Case& c) -> std::string {
        if (c.unparsable)
            return kNotJsonRefusal;
        if (c.scalar)
            return kUnreadable;
        return done;
    };
}

// An activity method that only the activity manager may call: without a positive activity id
// it is refused, with one the adoption is requested.
std::string adopted(const Case& c)
{
    if (c.unparsable)
        return kNotJsonRefusal;
    if (c.scalar)
        return kUnreadable;
    return c.broken ? kFalse : kTrue;
}

const char* const kActivityBase = "{\"$activity\":{\"activityId\":987654,\"name\":\"badInput\"}}";
const std::vector<Key> kActivityKeys = {
    {{"$activity"}, {Object}, true},
    {{"$activity", "activityId"}, {Number}, true},
    {{"returnValue"}, {Boolean}, false},
};

std::vector<Method> kelvvmMethods()
{
    auto echo = [](const Case& c) -> std::string {
        return c.unparsable ? kNotJsonRefusal : c.payload;
    };
    auto test = [](const Case& c) -> std::string {
        if (c.unparsable)
            return kNotJsonRefusal;
        if (c.scalar)
            return "{\"returnValue\":false,\"error\":\"JSON parse exception\"}";
        return "";
    };
    std::vector<Key> simKeys = kActivityKeys;
    simKeys.push_back({{"$activity", "trigger", "extended", "state"}, {String}, false});
    return {
        {kKelvvm, "ping", "{\"hello\":1}", {}, echo},
        {kKelvvm, "test", "{\"method\":\"noSuchOperation\"}", {{{"method"}, {String}, true}}, test},
        {kKelvvm,
         "scheduled",
         kActivityBase,
         {{{"$activity"}, {Object}, false}, {{"$activity", "name"}, {String}, false}},
         queued(kTrue)},
        {kKelvvm, "readMessage", kActivityBase, kActivityKeys, adopted},
        {kKelvvm, "deleteMessage", kActivityBase, kActivityKeys, adopted},
        {kKelvvm, "simStatusQuery",
         "{\"$activity\":{\"activityId\":987654,\"trigger\":{\"extended\":{\"state\":\"simready\"}}"
         "}}",
         simKeys, adopted},
        {kKelvvm,
         "setGreeting",
         "{\"filePath\":\"/nonexistent/greeting.amr\"}",
         {{{"filePath"}, {String}, true}},
         queued("{\"returnValue\":false,\"errorText\":\"Unable to open file\",\"errorCode\":666}")},
        {kKelvvm, "refreshMessages", "{}", {}, queued(kTrue)},
        {kKelvvm, "smsNotification", "{}", {}, queued(kTrue)},
    };
}

std::string statusReply(int code, const char* reason)
{
    return "{\"returnValue\":false,\"errorCode\":" + std::to_string(code) + ",\"errorText\":\"" +
           reason + "\"}";
}

std::vector<Method> hotspotMethods()
{
    auto login = [](const Case& c) -> std::string {
        if (c.unparsable)
            return kNotJsonRefusal;
        if (c.scalar || c.broken)
            return statusReply(2, "bad argument");
        // Every good payload names a network that is not the carrier's: no login starts.
        return statusReply(6, "unknown ssid");
    };
    auto success = [](const Case& c) -> std::string {
        return c.unparsable ? kNotJsonRefusal : kTrue;
    };
    // json-c reads "null" as no root at all, which the logoff's parse check refuses.
    auto logoff = [success](const Case& c) -> std::string {
        return c.payload == "null" ? statusReply(2, "bad argument") : success(c);
    };
    std::vector<Key> loginKeys;
    for (const char* name : {"profileId", "ssid", "bssid", "hotspotInfo", "interface"})
        loginKeys.push_back({{name}, {String, Number}, true});
    return {
        {kHotspot, "initLogin",
         "{\"profileId\":\"3\",\"ssid\":\"Elsewhere WiFi\",\"bssid\":\"00:11:22:33:44:55\","
         "\"hotspotInfo\":\"<LoginURL>http://127.0.0.1:9/login</LoginURL>\",\"interface\":\"lo\"}",
         loginKeys, login},
        {kHotspot,
         "initLogoff",
         "{\"immediate\":false}",
         {{{"immediate"}, {Boolean}, false}},
         logoff},
        {kHotspot, "foundNetworks", "{}", {}, success},
    };
}

// An empty carrier mailbox, so that a synchronization is short.
const char* const kEmptyMailbox = "{\"namespace\":\"http://ws.vvm.example.invalid/\",\"account\":{"
                                  "\"userId\":\"33612345678\",\"subscribed\":true},\"calls\":[]}";

class BadInputEndToEndTest : public DeviceTest
{
  protected:
    BadInputEndToEndTest() : DeviceTest("kel-bad-input", kPatienceMs) {}
    void SetUp() override
    {
        m_device.configure(deviceConfiguration(kEmptyMailbox));
        ASSERT_NO_FATAL_FAILURE(startDevice());
        m_bus = rawBusConnection();
        ASSERT_TRUE(m_bus) << "no connection to " << m_device.env("TAMO_BUS_ADDRESS");
    }
    void TearDown() override { g_clear_object(&m_bus); }

    // One raw call, as any bus peer may make it: the reply's payload, or the bus's refusal.
    std::string rawCall(const char* service, const char* method, const std::string& payload)
    {
        GError* error = nullptr;
        // A guard against a hung daemon, far beyond any case's real time.
        GVariant* reply = g_dbus_connection_call_sync(
            m_bus, service, "/", "com.quor.Tamo", method, g_variant_new("(s)", payload.c_str()),
            G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 120000, nullptr, &error);
        if (!reply) {
            g_dbus_error_strip_remote_error(error);
            std::string text = std::string("bus refusal: ") + error->message;
            g_error_free(error);
            return text;
        }
        const char* text = nullptr;
        g_variant_get(reply, "(&s)", &text);
        std::string out = text;
        g_variant_unref(reply);
        return out;
    }
    std::string owner(const char* service)
    {
        GVariant* reply = g_dbus_connection_call_sync(
            m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetNameOwner", g_variant_new("(s)", service), G_VARIANT_TYPE("(s)"),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (!reply)
            return "";
        const char* name = nullptr;
        g_variant_get(reply, "(&s)", &name);
        std::string out = name;
        g_variant_unref(reply);
        return out;
    }

    // Runs every case of every method; after each, the same process must answer `next`.
    void runAll(const std::vector<Method>& methods, const char* next, const std::string& nextReply,
                const std::string& tableName)
    {
        std::string table = "| Method | Cases | Reply | Count |\n|---|---|---|---|\n";
        int total = 0;
        for (const Method& method : methods) {
            std::map<std::string, int> outcomes;
            std::vector<Case> cases = casesFor(method);
            for (const Case& c : cases) {
                std::string before = owner(method.service);
                ASSERT_FALSE(before.empty()) << method.service << " is not running";
                std::string reply = rawCall(method.service, method.name, c.payload);
                std::string expected = method.expected(c);
                SCOPED_TRACE(std::string(method.name) + ": " + c.label);
                if (!expected.empty()) {
                    EXPECT_EQ(reply, expected);
                } else {
                    JValue parsed = parseJson(reply);
                    EXPECT_FALSE(parsed["returnValue"].asBool()) << reply;
                    EXPECT_TRUE(parsed["error"].isString()) << reply;
                }
                EXPECT_EQ(rawCall(method.service, next, "{}"), nextReply);
                EXPECT_EQ(owner(method.service), before) << "the daemon was replaced";
                outcomes[reply == c.payload ? "the payload, echoed" : "`" + reply + "`"]++;
                total++;
            }
            bool first = true;
            for (const auto& [reply, count] : outcomes) {
                table += std::string("| ") + (first ? method.name : "") + " | " +
                         (first ? std::to_string(cases.size()) : "") + " | " + reply + " | " +
                         std::to_string(count) + " |\n";
                first = false;
            }
        }
        table += "\n" + std::to_string(total) + " cases, each followed by `" + next + "`.\n";
        std::ofstream(std::string(KEL_BINARY_DIR) + "/" + tableName) << table;
        std::cout << table;
    }

    GDBusConnection* m_bus = nullptr;
};

TEST_F(BadInputEndToEndTest, VoicemailServiceAnswersEveryBadPayloadAndKeepsRunning)
{
    // The SIM-status activity activates kelvvm at once. A first SMS creates the mailbox, so
    // that the activities below fail or succeed on their payloads alone.
    // Its account check runs beside the queue and, finding no mailbox, erases the kind: it must
    // be over (re-armed on the next change of state) before an SMS creates the mailbox.
    ASSERT_TRUE(runUntil(
        [&] {
            JValue sim = activity("KelVvmSimStatus");
            return sim["state"].asString() == "waiting" && !sim["adopted"].asBool();
        },
        kPatienceMs));
    ASSERT_EQ(rawCall(kKelvvm, "smsNotification", "{}"), kTrue);
    runAll(kelvvmMethods(), "ping", "{}", "bad-input-kelvvm.md");
}

TEST_F(BadInputEndToEndTest, HotspotServiceAnswersEveryBadPayloadAndKeepsRunning)
{
    ASSERT_EQ(rawCall(kHotspot, "foundNetworks", "{}"), kTrue);
    runAll(hotspotMethods(), "foundNetworks", kTrue, "bad-input-kelwisprd.md");
}

} // namespace
