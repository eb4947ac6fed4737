// PageBus: the page's view of the bus: method calls made for the page, and a monitor of every
// other message, which tells the page that something happened.
#include "PageBus.h"

#include "qmlog.h"
#include "vtjson.h"

namespace emulator
{

namespace
{
const size_t kKeptSignals = 50;
// Generous: the page's calls reach only the emulator's services and the daemons, which answer
// at once; this bounds a call to a daemon that hangs.
const int kCallTimeoutMs = 30000;
// No match rule: the monitor sees every message.
const gchar* const kEveryMessage[] = {nullptr};

std::string failure(const std::string& text)
{
    JValue reply = JValue::object();
    reply.put("returnValue", false);
    reply.put("errorCode", int32_t(-1));
    reply.put("errorText", text);
    return reply.stringify();
}

GDBusConnection* connect(const std::string& address, std::string& error)
{
    GError* gerror = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &gerror);
    if (!connection) {
        error = std::string("the page cannot reach the bus: ") + gerror->message;
        g_error_free(gerror);
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return connection;
}
} // namespace

PageBus::PageBus(std::function<void()> onActivity) : m_watch(std::make_shared<Watch>())
{
    m_watch->onActivity = std::move(onActivity);
}

PageBus::~PageBus()
{
    stop();
}

bool PageBus::start(const std::string& address, std::string& error)
{
    m_caller = connect(address, error);
    if (!m_caller)
        return false;
    m_watch->callerName = g_dbus_connection_get_unique_name(m_caller);
    m_monitor = connect(address, error);
    if (!m_monitor) {
        stop();
        return false;
    }
    // Before becoming a monitor: from then on every message comes through the filter, which
    // keeps the others' messages from GDBus's own dispatch (a monitor must never answer).
    m_watch->monitorName = g_dbus_connection_get_unique_name(m_monitor);
    m_filter = g_dbus_connection_add_filter(
        m_monitor, onMessage, new std::shared_ptr<Watch>(m_watch),
        [](gpointer watch) { delete static_cast<std::shared_ptr<Watch>*>(watch); });
    GError* gerror = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(m_monitor, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus.Monitoring", "BecomeMonitor",
                                    g_variant_new("(^asu)", kEveryMessage, 0u), nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &gerror);
    if (!reply) {
        // A bus whose policy forbids monitoring (a system bus) still gets a page, which then
        // changes only when it is loaded again or acts itself.
        QMLOG(QmLogGetContext("nimbos-emulator"), QMLOG_LEVEL_WARNING,
              "the page will not update by itself, it cannot monitor the bus: %s", gerror->message);
        g_error_free(gerror);
        g_dbus_connection_remove_filter(m_monitor, m_filter);
        g_dbus_connection_close_sync(m_monitor, nullptr, nullptr);
        g_clear_object(&m_monitor);
        return true;
    }
    g_variant_unref(reply);
    return true;
}

void PageBus::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_watch->mutex);
        m_watch->stopped = true;
    }
    if (m_monitor) {
        g_dbus_connection_remove_filter(m_monitor, m_filter);
        g_dbus_connection_close_sync(m_monitor, nullptr, nullptr);
        g_clear_object(&m_monitor);
    }
    if (m_caller) {
        g_dbus_connection_close_sync(m_caller, nullptr, nullptr);
        g_clear_object(&m_caller);
    }
}

std::string PageBus::call(const std::string& uri, const std::string& payload)
{
    // quor://com.quor.x/a/b/m (or tamo://): service com.quor.x, category /a/b, method m.
    size_t scheme = uri.find("://");
    size_t serviceEnd = scheme == std::string::npos ? scheme : uri.find('/', scheme + 3);
    size_t methodStart = uri.rfind('/');
    if (serviceEnd == std::string::npos || methodStart + 1 >= uri.size())
        return failure("not a method URI: " + uri);
    std::string service = uri.substr(scheme + 3, serviceEnd - scheme - 3);
    std::string category = uri.substr(serviceEnd, methodStart - serviceEnd);
    std::string method = uri.substr(methodStart + 1);
    if (category.empty())
        category = "/";
    if (!g_dbus_is_name(service.c_str()) || !g_variant_is_object_path(category.c_str()) ||
        !g_dbus_is_member_name(method.c_str()))
        return failure("not a method URI: " + uri);
    GError* gerror = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        m_caller, service.c_str(), category.c_str(), "com.quor.Tamo", method.c_str(),
        g_variant_new("(s)", payload.c_str()), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
        kCallTimeoutMs, nullptr, &gerror);
    if (!reply) {
        std::string text = gerror->message;
        g_error_free(gerror);
        return failure(text);
    }
    const gchar* text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    std::string result = text;
    g_variant_unref(reply);
    return result;
}

std::string PageBus::signals() const
{
    std::lock_guard<std::mutex> lock(m_watch->mutex);
    std::string list = "[";
    for (const std::string& signal : m_watch->signals)
        list += (list.size() > 1 ? "," : "") + signal;
    return list + "]";
}

GDBusMessage* PageBus::onMessage(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                 gpointer data)
{
    Watch& watch = **static_cast<std::shared_ptr<Watch>*>(data);
    const char* sender = g_dbus_message_get_sender(message);
    const char* destination = g_dbus_message_get_destination(message);
    // The monitor's own traffic: the call that makes it one and its answer.
    if (!incoming || (destination && watch.monitorName == destination))
        return message;
    std::lock_guard<std::mutex> lock(watch.mutex);
    // The page's own reads would otherwise wake the page again, without end.
    bool own =
        (sender && watch.callerName == sender) || (destination && watch.callerName == destination);
    if (!watch.stopped && !own &&
        g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL &&
        g_strcmp0(g_dbus_message_get_interface(message), "com.quor.Tamo") == 0) {
        GVariant* body = g_dbus_message_get_body(message);
        JValue signal = JValue::object();
        signal.put("time", int64_t(g_get_real_time() / 1000));
        signal.put("category", g_dbus_message_get_path(message));
        signal.put("signal", g_dbus_message_get_member(message));
        if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) {
            const gchar* payload = nullptr;
            g_variant_get(body, "(&s)", &payload);
            signal.put("payload", payload);
        }
        watch.signals.push_back(signal.stringify());
        if (watch.signals.size() > kKeptSignals)
            watch.signals.pop_front();
    }
    if (!watch.stopped && !own)
        watch.onActivity();
    g_object_unref(message);
    return nullptr;
}

} // namespace emulator
