// A private dbus-daemon for tests.
#include "TestBus.h"

#include <gio/gio.h>

#include <csignal>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

TestBus::TestBus(const std::map<std::string, std::string>& env)
{
    gchar** envp = g_get_environ();
    envp = g_environ_unsetenv(envp, "TAMO_BUS_ADDRESS");
    for (const auto& [key, value] : env)
        envp = g_environ_setenv(envp, key.c_str(), value.c_str(), TRUE);
    std::string config = std::string("--config-file=") + KEL_DEV_BUS_CONFIG;
    std::vector<char*> argv = {const_cast<char*>(KEL_DBUS_DAEMON),
                               const_cast<char*>(config.c_str()), const_cast<char*>("--nofork"),
                               const_cast<char*>("--print-address=1"), nullptr};
    gint out = -1;
    GError* error = nullptr;
    bool spawned =
        g_spawn_async_with_pipes(nullptr, argv.data(), envp, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                 nullptr, &m_pid, nullptr, &out, nullptr, &error);
    g_strfreev(envp);
    if (!spawned) {
        std::string text = error->message;
        g_error_free(error);
        throw std::runtime_error("cannot start dbus-daemon: " + text);
    }
    char c;
    while (read(out, &c, 1) == 1 && c != '\n')
        m_address += c;
    close(out);
    if (m_address.empty())
        throw std::runtime_error("dbus-daemon printed no address");
    g_setenv("TAMO_BUS_ADDRESS", m_address.c_str(), TRUE);
}

TestBus::~TestBus()
{
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    g_spawn_close_pid(m_pid);
    g_unsetenv("TAMO_BUS_ADDRESS");
}

TestBus* SharedBusTest::s_bus = nullptr;

GDBusConnection* rawBusConnection()
{
    return g_dbus_connection_new_for_address_sync(
        g_getenv("TAMO_BUS_ADDRESS"),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
}

bool runUntil(const std::function<bool()>& done, int timeoutMs)
{
    gint64 end = g_get_monotonic_time() + gint64(timeoutMs) * 1000;
    while (!done() && g_get_monotonic_time() < end) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    }
    return done();
}

void runFor(int ms)
{
    runUntil([] { return false; }, ms);
}

namespace
{

// Asks the bus daemon at $TAMO_BUS_ADDRESS `method` about `name`; null when it cannot be asked
// or refuses (as it does for a name without owner).
GVariant* askBus(const char* method, const char* name, const char* replyType)
{
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        g_getenv("TAMO_BUS_ADDRESS"),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!bus)
        return nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        g_variant_new("(s)", name), G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        nullptr);
    g_object_unref(bus);
    return reply;
}

} // namespace

bool nameHasOwner(const char* name)
{
    GVariant* reply = askBus("NameHasOwner", name, "(b)");
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned;
}

int nameOwnerPid(const char* name)
{
    GVariant* reply = askBus("GetConnectionUnixProcessID", name, "(u)");
    guint32 pid = 0;
    if (reply) {
        g_variant_get(reply, "(u)", &pid);
        g_variant_unref(reply);
    }
    return int(pid);
}
