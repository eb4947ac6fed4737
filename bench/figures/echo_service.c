/* The floor of a bus round trip: a trivial GDBus service answering "ping" at path / the way a
 * Tamo method is carried (com.quor.Tamo.ping, (s) in, (s) out), with nothing behind it.
 * Usage: echo_service BUS_NAME (on $TAMO_BUS_ADDRESS); runs until killed. */
#include <gio/gio.h>

#include <stdio.h>
#include <stdlib.h>

static const char introspection[] = "<node><interface name='com.quor.Tamo'><method name='ping'>"
                                    "<arg type='s' direction='in'/><arg type='s' direction='out'/>"
                                    "</method></interface></node>";

static void answer(GDBusConnection* connection, const gchar* sender, const gchar* path,
                   const gchar* interface, const gchar* method, GVariant* parameters,
                   GDBusMethodInvocation* invocation, gpointer data)
{
    (void)connection, (void)sender, (void)path, (void)interface, (void)method, (void)parameters,
        (void)data;
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(s)", "{\"returnValue\":true}"));
}

int main(int argc, char** argv)
{
    const char* address = getenv("TAMO_BUS_ADDRESS");
    if (argc != 2 || !address) {
        fprintf(stderr, "usage: TAMO_BUS_ADDRESS=… echo_service BUS_NAME\n");
        return 2;
    }
    GError* error = NULL;
    GDBusConnection* connection =
        g_dbus_connection_new_for_address_sync(address,
                                               G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION,
                                               NULL, NULL, &error);
    GDBusNodeInfo* node = connection ? g_dbus_node_info_new_for_xml(introspection, &error) : NULL;
    static const GDBusInterfaceVTable table = {answer, NULL, NULL, {0}};
    if (!node || !g_dbus_connection_register_object(connection, "/", node->interfaces[0], &table,
                                                    NULL, NULL, &error)) {
        fprintf(stderr, "echo_service: %s\n", error->message);
        return 1;
    }
    g_bus_own_name_on_connection(connection, argv[1], G_BUS_NAME_OWNER_FLAGS_NONE, NULL, NULL, NULL,
                                 NULL);
    g_main_loop_run(g_main_loop_new(NULL, FALSE));
    return 0;
}
