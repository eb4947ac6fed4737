// The bus client library against a real dbus-daemon: the mapping onto D-Bus, subscriptions,
// cancellation, departures, failures that must never go silent, and bad input.
#include "TestBus.h"
#include "tamoservice.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace
{

const char* const kService = "com.quor.test";

struct Replies {
    std::vector<std::string> payloads;
    std::vector<bool> finals;
};

bool collect(TSHandle*, TSMessage* message, void* context)
{
    auto* replies = static_cast<Replies*>(context);
    replies->payloads.push_back(TSMessageGetPayload(message));
    replies->finals.push_back(TSMessageIsFinal(message));
    return true;
}

// The served side: remembers the calls it kept and the cancellations it saw.
struct Service {
    TSHandle* handle = nullptr;
    std::vector<TSMessage*> kept;
    std::vector<std::string> received;
    int cancelled = 0;
    std::vector<int> refusals;
    void* seenContext = nullptr;

    ~Service()
    {
        for (TSMessage* message : kept)
            TSMessageUnref(message);
        if (handle)
            TSUnregister(handle, nullptr);
    }
};

void onCancel(TSHandle*, TSMessage*, void* context)
{
    static_cast<Service*>(context)->cancelled++;
}

bool echo(TSHandle*, TSMessage* message, void* context)
{
    auto* service = static_cast<Service*>(context);
    service->seenContext = context;
    service->received.push_back(TSMessageGetPayload(message));
    TSMessageRespond(message, TSMessageGetPayload(message), nullptr);
    return true;
}

// Answers later: keeps the message and registers for its cancellation.
bool keep(TSHandle*, TSMessage* message, void* context)
{
    auto* service = static_cast<Service*>(context);
    TSMessageRef(message);
    TSMessageSetCancelFunction(message, onCancel, service);
    service->kept.push_back(message);
    return true;
}

bool drop(TSHandle*, TSMessage*, void*)
{
    return true;
}

// A JSON text of `size` bytes: one string in an array.
std::string jsonOfSize(size_t size)
{
    return "[\"" + std::string(size - 4, 'x') + "\"]";
}

// Answers with a text one byte larger than the bus carries; remembers what the library said.
bool tooLarge(TSHandle*, TSMessage* message, void* context)
{
    auto* service = static_cast<Service*>(context);
    TSError error;
    TSErrorInit(&error);
    if (!TSMessageRespond(message, jsonOfSize(TS_MAX_MESSAGE_SIZE + 1).c_str(), &error))
        service->refusals.push_back(error.error_code);
    TSErrorFree(&error);
    return true;
}

const TSMethod kMethods[] = {
    {"echo", echo, 0}, {"keep", keep, 0}, {"drop", drop, 0}, {"tooLarge", tooLarge, 0}, {}};
const TSSignal kSignals[] = {{"changed", 0}, {}};

class BusTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_bus = std::make_unique<TestBus>();
        startService(m_service, kService);
        TSError error;
        TSErrorInit(&error);
        ASSERT_TRUE(TSRegisterAnonymous(&m_client, &error)) << error.message;
        ASSERT_TRUE(TSGmainAttach(m_client, nullptr, &error));
    }

    void TearDown() override
    {
        if (m_client)
            TSUnregister(m_client, nullptr);
    }

    static void startService(Service& service, const char* name)
    {
        TSError error;
        TSErrorInit(&error);
        ASSERT_TRUE(TSRegister(name, &service.handle, &error)) << error.message;
        ASSERT_TRUE(
            TSRegisterCategory(service.handle, "/a/b", kMethods, kSignals, nullptr, &error));
        ASSERT_TRUE(TSCategorySetData(service.handle, "/a/b", &service, &error));
        ASSERT_TRUE(TSGmainAttach(service.handle, nullptr, &error));
    }

    TSMessageToken call(const std::string& uri, const std::string& payload, Replies& replies)
    {
        TSError error;
        TSErrorInit(&error);
        TSMessageToken token = 0;
        EXPECT_TRUE(
            TSCall(m_client, uri.c_str(), payload.c_str(), collect, &replies, &token, &error))
            << (error.message ? error.message : "");
        TSErrorFree(&error);
        return token;
    }

    std::unique_ptr<TestBus> m_bus;
    Service m_service;
    TSHandle* m_client = nullptr;
};

// A plain D-Bus call, answered while the loop keeps the service running; a D-Bus error's name
// goes to `errorName`.
GVariant* rawCall(GDBusConnection* raw, const char* path, const char* interface, const char* member,
                  GVariant* parameters, const char* replyType = "(s)",
                  std::string* errorName = nullptr)
{
    struct Wait {
        GVariant* result = nullptr;
        GError* error = nullptr;
        bool done = false;
    } wait;
    g_dbus_connection_call(
        raw, kService, path, interface, member, parameters, G_VARIANT_TYPE(replyType),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* async, gpointer data) {
            auto* w = static_cast<Wait*>(data);
            w->result = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), async, &w->error);
            w->done = true;
        },
        &wait);
    runUntil([&] { return wait.done; });
    if (wait.error) {
        gchar* name = g_dbus_error_get_remote_error(wait.error);
        if (errorName && name)
            *errorName = name;
        g_free(name);
        g_error_free(wait.error);
    }
    return wait.result;
}

TEST_F(BusTest, CallIsAnsweredWithCategoryDataAsContext)
{
    Replies replies;
    call("quor://com.quor.test/a/b/echo", "{\"a\":1}", replies);
    ASSERT_TRUE(runUntil([&] { return replies.payloads.size() == 1; }));
    EXPECT_EQ(replies.payloads[0], "{\"a\":1}");
    EXPECT_TRUE(replies.finals[0]);
    EXPECT_EQ(m_service.seenContext, &m_service);
    runFor(50);
    EXPECT_EQ(replies.payloads.size(), 1u);
}

// Every row of the mapping as a plain D-Bus peer sees it.
TEST_F(BusTest, MappingSeenFromPlainDBus)
{
    GDBusConnection* raw = rawBusConnection();
    ASSERT_NE(raw, nullptr);
    GError* error = nullptr;
    GVariant* reply = rawCall(raw, "/a/b", "com.quor.Tamo", "echo", g_variant_new("(s)", "[1,2]"));
    ASSERT_NE(reply, nullptr);
    const char* text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    EXPECT_STREQ(text, "[1,2]");
    g_variant_unref(reply);

    reply = rawCall(raw, "/a/b", "org.freedesktop.DBus.Introspectable", "Introspect", nullptr);
    ASSERT_NE(reply, nullptr);
    g_variant_get(reply, "(&s)", &text);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(text, &error);
    ASSERT_NE(node, nullptr) << error->message;
    GDBusInterfaceInfo* tamo = g_dbus_node_info_lookup_interface(node, "com.quor.Tamo");
    ASSERT_NE(tamo, nullptr);
    EXPECT_NE(g_dbus_interface_info_lookup_method(tamo, "keep"), nullptr);
    EXPECT_NE(g_dbus_interface_info_lookup_signal(tamo, "changed"), nullptr);
    g_dbus_node_info_unref(node);
    g_variant_unref(reply);

    // The root lists the way down to the category, and the bus interface served there.
    reply = rawCall(raw, "/", "org.freedesktop.DBus.Introspectable", "Introspect", nullptr);
    ASSERT_NE(reply, nullptr);
    g_variant_get(reply, "(&s)", &text);
    EXPECT_NE(std::string(text).find("<node name=\"a\"/>"), std::string::npos) << text;
    node = g_dbus_node_info_new_for_xml(text, &error);
    ASSERT_NE(node, nullptr) << error->message;
    GDBusInterfaceInfo* bus = g_dbus_node_info_lookup_interface(node, "com.quor.Tamo.Bus");
    ASSERT_NE(bus, nullptr) << text;
    GDBusMethodInfo* cancel = g_dbus_interface_info_lookup_method(bus, "Cancel");
    ASSERT_NE(cancel, nullptr);
    EXPECT_STREQ(cancel->in_args[0]->signature, "u");
    GDBusSignalInfo* later = g_dbus_interface_info_lookup_signal(bus, "Reply");
    ASSERT_NE(later, nullptr);
    EXPECT_STREQ(later->args[0]->signature, "u");
    EXPECT_STREQ(later->args[1]->signature, "s");
    g_dbus_node_info_unref(node);
    g_variant_unref(reply);

    // A broadcast signal of the category.
    std::string signalPayload;
    guint id = g_dbus_connection_signal_subscribe(
        raw, nullptr, "com.quor.Tamo", "changed", "/a/b", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
            const char* payload = nullptr;
            g_variant_get(parameters, "(&s)", &payload);
            *static_cast<std::string*>(data) = payload;
        },
        &signalPayload, nullptr);
    g_dbus_connection_call_sync(raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    ASSERT_TRUE(
        TSSignalSend(m_service.handle, "quor://com.quor.test/a/b/changed", "{\"n\":2}", nullptr));
    EXPECT_TRUE(runUntil([&] { return !signalPayload.empty(); }));
    EXPECT_EQ(signalPayload, "{\"n\":2}");
    g_dbus_connection_signal_unsubscribe(raw, id);
    g_object_unref(raw);
}

TEST_F(BusTest, SubscriptionRepliesInOrderThenCancelReachesService)
{
    Replies replies;
    TSMessageToken token = call("quor://com.quor.test/a/b/keep", "{\"subscribe\":true}", replies);
    ASSERT_TRUE(runUntil([&] { return m_service.kept.size() == 1; }));
    TSMessage* subscription = m_service.kept[0];
    EXPECT_TRUE(TSMessageIsSubscription(subscription));
    for (int i = 0; i < 3; i++) {
        std::string payload = "{\"n\":" + std::to_string(i) + "}";
        ASSERT_TRUE(TSMessageRespond(subscription, payload.c_str(), nullptr));
    }
    ASSERT_TRUE(runUntil([&] { return replies.payloads.size() == 3; }));
    EXPECT_EQ(replies.payloads, (std::vector<std::string>{"{\"n\":0}", "{\"n\":1}", "{\"n\":2}"}));
    EXPECT_FALSE(replies.finals[2]);

    ASSERT_TRUE(TSCallCancel(m_client, token, nullptr));
    ASSERT_TRUE(runUntil([&] { return m_service.cancelled == 1; }));
    TSError error;
    TSErrorInit(&error);
    EXPECT_FALSE(TSMessageRespond(subscription, "{}", &error));
    EXPECT_TRUE(TSErrorIsSet(&error));
    TSErrorFree(&error);
    runFor(50);
    EXPECT_EQ(replies.payloads.size(), 3u);
    // Cancelling twice, or a token that never was, is harmless.
    EXPECT_TRUE(TSCallCancel(m_client, token, nullptr));
    EXPECT_TRUE(TSCallCancel(m_client, 987654, nullptr));
}

// A subscription as a plain D-Bus client makes it: later replies are Reply signals from "/"
// carrying the call's own serial; Cancel answers when asked to and refuses a wrong signature.
TEST_F(BusTest, SubscriptionAndCancelFromPlainDBus)
{
    GDBusConnection* raw = rawBusConnection();
    ASSERT_NE(raw, nullptr);
    struct Later {
        guint32 serial = 0;
        std::string path, payload;
    } later;
    guint id = g_dbus_connection_signal_subscribe(
        raw, nullptr, "com.quor.Tamo.Bus", "Reply", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
            auto* l = static_cast<Later*>(data);
            const char* payload = nullptr;
            g_variant_get(parameters, "(u&s)", &l->serial, &payload);
            l->path = path;
            l->payload = payload;
        },
        &later, nullptr);
    GDBusMessage* subscribe =
        g_dbus_message_new_method_call(kService, "/a/b", "com.quor.Tamo", "keep");
    g_dbus_message_set_body(subscribe, g_variant_new("(s)", "{\"subscribe\":true}"));
    guint32 serial = 0;
    ASSERT_TRUE(g_dbus_connection_send_message(raw, subscribe, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                               &serial, nullptr));
    g_object_unref(subscribe);
    ASSERT_TRUE(runUntil([&] { return m_service.kept.size() == 1; }));
    ASSERT_TRUE(TSMessageRespond(m_service.kept[0], "{\"n\":1}", nullptr));
    ASSERT_TRUE(TSMessageRespond(m_service.kept[0], "{\"n\":2}", nullptr));
    ASSERT_TRUE(runUntil([&] { return !later.payload.empty(); }));
    EXPECT_EQ(later.serial, serial);
    EXPECT_EQ(later.path, "/");
    EXPECT_EQ(later.payload, "{\"n\":2}");

    std::string errorName;
    EXPECT_EQ(rawCall(raw, "/", "com.quor.Tamo.Bus", "Cancel", g_variant_new("(s)", "1"), "()",
                      &errorName),
              nullptr);
    EXPECT_EQ(errorName, "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(m_service.cancelled, 0);
    GVariant* done =
        rawCall(raw, "/", "com.quor.Tamo.Bus", "Cancel", g_variant_new("(u)", serial), "()");
    ASSERT_NE(done, nullptr) << "an empty answer when one is wanted";
    g_variant_unref(done);
    EXPECT_EQ(m_service.cancelled, 1);
    // A serial that names nothing is answered all the same.
    done = rawCall(raw, "/", "com.quor.Tamo.Bus", "Cancel", g_variant_new("(u)", 424242u), "()");
    ASSERT_NE(done, nullptr);
    g_variant_unref(done);
    g_dbus_connection_signal_unsubscribe(raw, id);
    g_object_unref(raw);
}

// The bus drops a client that sends more than its message limit, so nothing that large is sent:
// a call and a signal fail, an answer becomes a failure payload, and the connections stay up.
TEST_F(BusTest, MessagesTooLargeForTheBusAreRefusedClearly)
{
    std::string huge = jsonOfSize(TS_MAX_MESSAGE_SIZE + 1);
    TSError error;
    TSErrorInit(&error);
    EXPECT_FALSE(TSCall(m_client, "quor://com.quor.test/a/b/echo", huge.c_str(), collect, nullptr,
                        nullptr, &error));
    EXPECT_EQ(error.error_code, TS_ERROR_TOO_LARGE);
    TSErrorFree(&error);
    EXPECT_FALSE(
        TSSignalSend(m_service.handle, "quor://com.quor.test/a/b/changed", huge.c_str(), &error));
    EXPECT_EQ(error.error_code, TS_ERROR_TOO_LARGE);
    TSErrorFree(&error);
    huge.clear();
    huge.shrink_to_fit();

    Replies refused;
    call("quor://com.quor.test/a/b/tooLarge", "{}", refused);
    ASSERT_TRUE(runUntil([&] { return refused.payloads.size() == 1; }));
    EXPECT_EQ(m_service.refusals, std::vector<int>{TS_ERROR_TOO_LARGE});
    EXPECT_EQ(refused.payloads[0].rfind("{\"returnValue\":false,\"errorCode\":-1,", 0), 0u);
    EXPECT_NE(refused.payloads[0].find("larger than the bus carries"), std::string::npos)
        << refused.payloads[0];

    // Both ends are still connected.
    Replies echoed;
    call("quor://com.quor.test/a/b/echo", "{\"after\":1}", echoed);
    ASSERT_TRUE(runUntil([&] { return echoed.payloads.size() == 1; }));
    EXPECT_EQ(echoed.payloads[0], "{\"after\":1}");
}

// A service whose bus goes away says so before the SIGTERM that ends it.
TEST(BusLost, ServiceLogsWhyBeforeItEnds)
{
    auto bus = std::make_unique<TestBus>();
    TSHandle* handle = nullptr;
    ASSERT_TRUE(TSRegister("com.quor.lost", &handle, nullptr));
    ASSERT_TRUE(TSGmainAttach(handle, nullptr, nullptr));
    static volatile sig_atomic_t terminated = 0;
    struct sigaction previous = {}, onTerm = {};
    onTerm.sa_handler = [](int) { terminated = 1; };
    sigaction(SIGTERM, &onTerm, &previous);
    std::string logged;
    guint id = g_log_set_handler(
        "tamoservice", GLogLevelFlags(G_LOG_LEVEL_MASK),
        [](const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
            *static_cast<std::string*>(data) += message;
        },
        &logged);
    bus.reset();
    EXPECT_TRUE(runUntil([&] { return terminated == 1; }));
    EXPECT_NE(logged.find("com.quor.lost lost its bus connection"), std::string::npos) << logged;
    g_log_remove_handler("tamoservice", id);
    sigaction(SIGTERM, &previous, nullptr);
    TSUnregister(handle, nullptr);
}

TEST_F(BusTest, SubscriberLeavingTheBusIsDropped)
{
    TSHandle* other = nullptr;
    ASSERT_TRUE(TSRegisterAnonymous(&other, nullptr));
    ASSERT_TRUE(TSGmainAttach(other, nullptr, nullptr));
    Replies replies;
    ASSERT_TRUE(TSCall(other, "quor://com.quor.test/a/b/keep", "{\"subscribe\":true}", collect,
                       &replies, nullptr, nullptr));
    ASSERT_TRUE(runUntil([&] { return m_service.kept.size() == 1; }));
    ASSERT_TRUE(TSMessageRespond(m_service.kept[0], "{}", nullptr));
    ASSERT_TRUE(runUntil([&] { return replies.payloads.size() == 1; }));
    TSUnregister(other, nullptr);
    EXPECT_TRUE(runUntil([&] { return m_service.cancelled == 1; }));
}

TEST_F(BusTest, UndeliverableCallsComeBackAsFailurePayloads)
{
    Replies missingService, missingMethod, missingCategory, dropped;
    call("quor://com.quor.nobody/a/b/echo", "{}", missingService);
    call("quor://com.quor.test/a/b/nothing", "{}", missingMethod);
    call("quor://com.quor.test/elsewhere/echo", "{}", missingCategory);
    call("quor://com.quor.test/a/b/drop", "{}", dropped);
    ASSERT_TRUE(runUntil([&] {
        return missingService.payloads.size() + missingMethod.payloads.size() +
                   missingCategory.payloads.size() + dropped.payloads.size() ==
               4;
    }));
    for (Replies* replies : {&missingService, &missingMethod, &missingCategory, &dropped}) {
        const std::string& payload = replies->payloads[0];
        EXPECT_EQ(payload.rfind("{\"returnValue\":false,\"errorCode\":-1,\"errorText\":\"", 0), 0u)
            << payload;
        EXPECT_TRUE(replies->finals[0]);
    }
}

TEST_F(BusTest, SubscriptionEndsWithFailureWhenServiceLeaves)
{
    Replies replies;
    call("quor://com.quor.test/a/b/keep", "{\"subscribe\":true}", replies);
    ASSERT_TRUE(runUntil([&] { return m_service.kept.size() == 1; }));
    ASSERT_TRUE(TSMessageRespond(m_service.kept[0], "{\"first\":true}", nullptr));
    ASSERT_TRUE(runUntil([&] { return replies.payloads.size() == 1; }));
    TSUnregister(m_service.handle, nullptr);
    m_service.handle = nullptr;
    ASSERT_TRUE(runUntil([&] { return replies.payloads.size() == 2; }));
    EXPECT_NE(replies.payloads[1].find("\"returnValue\":false"), std::string::npos);
    EXPECT_TRUE(replies.finals[1]);
}

TEST_F(BusTest, MessageAnsweredAfterItsHandlerReturned)
{
    Replies replies;
    call("quor://com.quor.test/a/b/keep", "{}", replies);
    ASSERT_TRUE(runUntil([&] { return m_service.kept.size() == 1; }));
    runFor(20);
    EXPECT_TRUE(replies.payloads.empty());
    ASSERT_TRUE(TSMessageRespond(m_service.kept[0], "{\"late\":1}", nullptr));
    ASSERT_TRUE(runUntil([&] { return replies.payloads.size() == 1; }));
    EXPECT_EQ(replies.payloads[0], "{\"late\":1}");
    // A one-shot call takes one answer only.
    EXPECT_FALSE(TSMessageRespond(m_service.kept[0], "{}", nullptr));
}

TEST_F(BusTest, OneReplyCallEndsSubscriptionAfterFirstReply)
{
    Replies replies;
    ASSERT_TRUE(TSCallOneReply(m_client, "quor://com.quor.test/a/b/keep", "{\"subscribe\":true}",
                               collect, &replies, nullptr, nullptr));
    ASSERT_TRUE(runUntil([&] { return m_service.kept.size() == 1; }));
    TSMessageRespond(m_service.kept[0], "{\"n\":1}", nullptr);
    TSMessageRespond(m_service.kept[0], "{\"n\":2}", nullptr);
    ASSERT_TRUE(runUntil([&] { return m_service.cancelled == 1; }));
    runFor(30);
    EXPECT_EQ(replies.payloads, (std::vector<std::string>{"{\"n\":1}"}));
}

TEST_F(BusTest, NothingRunsAfterUnregister)
{
    // The reply is on its way when the client goes.
    Replies replies;
    call("quor://com.quor.test/a/b/echo", "{}", replies);
    ASSERT_TRUE(runUntil([&] { return m_service.received.size() == 1; }));
    TSUnregister(m_client, nullptr);
    m_client = nullptr;
    runFor(50);
    EXPECT_TRUE(replies.payloads.empty());

    // A call that reached the service's queue is not handled once it has gone.
    TSHandle* caller = nullptr;
    ASSERT_TRUE(TSRegisterAnonymous(&caller, nullptr));
    ASSERT_TRUE(TSGmainAttach(caller, nullptr, nullptr));
    Replies late;
    ASSERT_TRUE(TSCall(caller, "quor://com.quor.test/a/b/echo", "{\"x\":1}", collect, &late,
                       nullptr, nullptr));
    g_usleep(100 * 1000); // into the service's queue, not yet dispatched
    TSUnregister(m_service.handle, nullptr);
    m_service.handle = nullptr;
    ASSERT_TRUE(runUntil([&] { return late.payloads.size() == 1; }));
    EXPECT_EQ(m_service.received.size(), 1u);
    EXPECT_NE(late.payloads[0].find("\"returnValue\":false"), std::string::npos);
    TSUnregister(caller, nullptr);
}

TEST_F(BusTest, TokensAreUniqueAndNeverZero)
{
    Replies replies;
    std::vector<TSMessageToken> tokens;
    for (int i = 0; i < 20; i++)
        tokens.push_back(call("quor://com.quor.test/a/b/echo", "{}", replies));
    std::sort(tokens.begin(), tokens.end());
    EXPECT_NE(tokens.front(), 0u);
    EXPECT_EQ(std::unique(tokens.begin(), tokens.end()), tokens.end());
    EXPECT_TRUE(runUntil([&] { return replies.payloads.size() == 20; }));
}

TEST_F(BusTest, SignalsReachWatchers)
{
    Replies signals;
    TSMessageToken token = 0;
    ASSERT_TRUE(
        TSSignalWatch(m_client, "quor://com.quor.test/a/b", collect, &signals, &token, nullptr));
    // A round trip makes sure the watch's match rule is in place.
    Replies sync;
    call("quor://com.quor.test/a/b/echo", "{}", sync);
    ASSERT_TRUE(runUntil([&] { return sync.payloads.size() == 1; }));
    ASSERT_TRUE(
        TSSignalSend(m_service.handle, "quor://com.quor.test/a/b/changed", "{\"s\":1}", nullptr));
    ASSERT_TRUE(runUntil([&] { return signals.payloads.size() == 1; }));
    EXPECT_EQ(signals.payloads[0], "{\"s\":1}");
    TSCallCancel(m_client, token, nullptr);
    TSSignalSend(m_service.handle, "quor://com.quor.test/a/b/changed", "{\"s\":2}", nullptr);
    runFor(50);
    EXPECT_EQ(signals.payloads.size(), 1u);
}

TEST_F(BusTest, BadInputIsAClearError)
{
    struct Case {
        const char* uri;
        const char* payload;
    } cases[] = {
        {"http://com.quor.test/a/b/echo", "{}"},
        {"quor://", "{}"},
        {"quor://com.quor.test", "{}"},
        {"quor://com.quor.test/a/b/", "{}"},
        {"quor://not a name/echo", "{}"},
        {"quor://com.quor.test/a//b/echo", "{}"},
        {"quor://com.quor.test/a/b/bad-name", "{}"},
        {nullptr, "{}"},
        {"quor://com.quor.test/a/b/echo", nullptr},
        {"quor://com.quor.test/a/b/echo", "{oops"},
        {"quor://com.quor.test/a/b/echo", "{} {}"},
    };
    for (const Case& c : cases) {
        TSError error;
        TSErrorInit(&error);
        TSMessageToken token = 0;
        EXPECT_FALSE(TSCall(m_client, c.uri, c.payload, collect, nullptr, &token, &error))
            << (c.uri ? c.uri : "(null)");
        EXPECT_TRUE(TSErrorIsSet(&error));
        EXPECT_EQ(error.error_code, TS_ERROR_INVALID);
        TSErrorFree(&error);
        EXPECT_FALSE(TSErrorIsSet(&error));
    }

    TSError error;
    TSErrorInit(&error);
    const TSMethod badMethods[] = {{"has space", drop, 0}, {}};
    EXPECT_FALSE(TSRegisterCategory(m_service.handle, "/c", badMethods, nullptr, nullptr, &error));
    EXPECT_TRUE(TSErrorIsSet(&error));
    TSErrorFree(&error);
    EXPECT_FALSE(TSRegisterCategory(m_service.handle, "c/d", kMethods, nullptr, nullptr, &error));
    TSErrorFree(&error);
    EXPECT_FALSE(TSRegister("com.quor.test", &m_client, &error)) << "the name is taken";
    EXPECT_TRUE(TSErrorIsSet(&error));
    TSErrorFree(&error);
    EXPECT_FALSE(TSSignalSend(m_service.handle, "quor://com.quor.test/a/b/unknown", "{}", &error));
    TSErrorFree(&error);
    EXPECT_FALSE(TSMessageRespond(nullptr, "{}", &error));
    TSErrorFree(&error);
}

TEST(BusUnreachable, RegisterFailsClearly)
{
    g_setenv("TAMO_BUS_ADDRESS", "unix:path=/nonexistent/bus", TRUE);
    TSHandle* handle = nullptr;
    TSError error;
    TSErrorInit(&error);
    EXPECT_FALSE(TSRegisterAnonymous(&handle, &error));
    EXPECT_EQ(error.error_code, TS_ERROR_BUS);
    TSErrorFree(&error);
    g_unsetenv("TAMO_BUS_ADDRESS");
}

} // namespace
