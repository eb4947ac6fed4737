/* The calls a handle receives: method dispatch, subscriptions and their end, introspection,
 * signals sent. */
#include "ts_private.h"

#include <string.h>

static char* subscription_key(const char* sender, guint32 serial)
{
    return g_strdup_printf("%s %u", sender, serial);
}

void ts_handle_forget_subscription(TSHandle* handle, TSMessage* message)
{
    g_autofree char* key = subscription_key(message->sender, message->serial);
    if (g_hash_table_lookup(handle->subscriptions, key) != message)
        return;
    g_hash_table_remove(handle->subscriptions, key);
    if (handle->open)
        ts_peer_watch_remove(handle, message->sender);
}

static void subscription_cancelled(TSHandle* handle, TSMessage* message)
{
    TSMessageRef(message);
    ts_handle_forget_subscription(handle, message);
    message->cancelled = true;
    if (message->cancel_func)
        message->cancel_func(handle, message, message->cancel_context);
    TSMessageUnref(message);
}

void ts_serve_peer_gone(TSHandle* handle, const char* name)
{
    g_autofree char* gone = g_strdup(name);
    GList* served = NULL;
    GHashTableIter iter;
    gpointer value;
    g_hash_table_iter_init(&iter, handle->subscriptions);
    while (g_hash_table_iter_next(&iter, NULL, &value)) {
        TSMessage* message = value;
        if (g_strcmp0(message->sender, gone) == 0) {
            TSMessageRef(message);
            served = g_list_prepend(served, message);
        }
    }
    for (GList* l = served; l; l = l->next) {
        if (handle->open)
            subscription_cancelled(handle, l->data);
        TSMessageUnref(l->data);
    }
    g_list_free(served);
}

void ts_serve_answer_error(TSHandle* handle, GDBusMessage* call, const char* name, const char* text)
{
    if (g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)
        return;
    g_autoptr(GDBusMessage) error = g_dbus_message_new_method_error_literal(call, name, text);
    ts_handle_send(handle, error, NULL, NULL);
}

static const TSMethod* find_method(const TSCategory* category, const char* name)
{
    for (const TSMethod* method = category->methods; method && method->name; method++) {
        if (strcmp(method->name, name) == 0)
            return method;
    }
    return NULL;
}

void ts_serve_dispatch_method(TSHandle* handle, GDBusMessage* call)
{
    const char* path = g_dbus_message_get_path(call);
    const char* member = g_dbus_message_get_member(call);
    TSCategory* category = g_hash_table_lookup(handle->categories, path);
    const TSMethod* method = category ? find_method(category, member) : NULL;
    if (!method || !method->function) {
        g_autofree char* text = g_strdup_printf("No method \"%s\" in category \"%s\" of %s", member,
                                                path, handle->name);
        ts_serve_answer_error(handle, call, "org.freedesktop.DBus.Error.UnknownMethod", text);
        return;
    }
    GVariant* body = g_dbus_message_get_body(call);
    const char* payload = NULL;
    if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
        g_variant_get(body, "(&s)", &payload);
    bool subscription = false;
    if (!payload || !ts_payload_check(payload, &subscription, NULL)) {
        ts_serve_answer_error(handle, call, "org.freedesktop.DBus.Error.InvalidArgs",
                              "The payload must be one JSON text");
        return;
    }
    TSMessage* message = ts_message_new(handle, call, payload);
    message->subscription = subscription;
    if (subscription) {
        g_hash_table_insert(handle->subscriptions,
                            subscription_key(message->sender, message->serial), message);
        ts_peer_watch_add(handle, message->sender);
    }
    method->function(handle, message, category->data);
    TSMessageUnref(message);
}

void ts_serve_dispatch_cancel(TSHandle* handle, GDBusMessage* call)
{
    GVariant* body = g_dbus_message_get_body(call);
    if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE("(u)"))) {
        ts_serve_answer_error(handle, call, "org.freedesktop.DBus.Error.InvalidArgs",
                              "Cancel takes the serial of the call to cancel, (u)");
        return;
    }
    guint32 serial = 0;
    g_variant_get(body, "(u)", &serial);
    g_autofree char* key = subscription_key(g_dbus_message_get_sender(call), serial);
    TSMessage* message = g_hash_table_lookup(handle->subscriptions, key);
    if (message)
        subscription_cancelled(handle, message);
    /* Our own library sends Cancel without wanting an answer; other clients may want one. */
    if (!(g_dbus_message_get_flags(call) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) &&
        handle->open) {
        g_autoptr(GDBusMessage) answer = g_dbus_message_new_method_reply(call);
        ts_handle_send(handle, answer, NULL, NULL);
    }
}

static void introspect_category(GString* xml, const TSCategory* category)
{
    g_string_append(xml, "  <interface name=\"" TS_INTERFACE "\">\n");
    for (const TSMethod* method = category->methods; method && method->name; method++)
        g_string_append_printf(xml,
                               "    <method name=\"%s\">\n"
                               "      <arg name=\"payload\" type=\"s\" direction=\"in\"/>\n"
                               "      <arg name=\"reply\" type=\"s\" direction=\"out\"/>\n"
                               "    </method>\n",
                               method->name);
    for (char** signal = category->signals; signal && *signal; signal++)
        g_string_append_printf(xml,
                               "    <signal name=\"%s\">\n"
                               "      <arg name=\"payload\" type=\"s\"/>\n"
                               "    </signal>\n",
                               *signal);
    g_string_append(xml, "  </interface>\n");
}

void ts_serve_dispatch_introspect(TSHandle* handle, GDBusMessage* call)
{
    const char* path = g_dbus_message_get_path(call);
    g_autoptr(GString) xml = g_string_new(
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n"
        "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
        "    <method name=\"Introspect\">\n"
        "      <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
        "    </method>\n  </interface>\n");
    /* Cancel is served, and later replies are sent, at "/". */
    if (g_str_equal(path, "/"))
        g_string_append(xml, "  <interface name=\"" TS_BUS_INTERFACE "\">\n"
                             "    <method name=\"Cancel\">\n"
                             "      <arg name=\"serial\" type=\"u\" direction=\"in\"/>\n"
                             "    </method>\n"
                             "    <signal name=\"Reply\">\n"
                             "      <arg name=\"serial\" type=\"u\"/>\n"
                             "      <arg name=\"payload\" type=\"s\"/>\n"
                             "    </signal>\n"
                             "  </interface>\n");
    TSCategory* category = g_hash_table_lookup(handle->categories, path);
    if (category)
        introspect_category(xml, category);
    /* Child nodes: the next path element of every category below this path. */
    g_autofree char* prefix = g_str_equal(path, "/") ? g_strdup("/") : g_strconcat(path, "/", NULL);
    g_autoptr(GHashTable) children = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    GHashTableIter iter;
    gpointer key;
    g_hash_table_iter_init(&iter, handle->categories);
    while (g_hash_table_iter_next(&iter, &key, NULL)) {
        const char* other = key;
        if (!g_str_has_prefix(other, prefix) || strlen(other) <= strlen(prefix))
            continue;
        const char* start = other + strlen(prefix);
        const char* end = strchr(start, '/');
        char* child = end ? g_strndup(start, end - start) : g_strdup(start);
        if (!g_hash_table_add(children, child))
            continue;
        g_string_append_printf(xml, "  <node name=\"%s\"/>\n", child);
    }
    g_string_append(xml, "</node>\n");
    g_autoptr(GDBusMessage) answer = g_dbus_message_new_method_reply(call);
    g_dbus_message_set_body(answer, g_variant_new("(s)", xml->str));
    ts_handle_send(handle, answer, NULL, NULL);
}

bool TSSignalSend(TSHandle* handle, const char* uri, const char* payload, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    TSUri parts;
    if (!ts_uri_parse(uri, &parts, error))
        return false;
    bool ok = false;
    TSCategory* category = g_hash_table_lookup(handle->categories, parts.path);
    if (g_strcmp0(parts.service, handle->name) != 0)
        TS_ERROR(error, TS_ERROR_INVALID, "Signal %s is not of this service", uri);
    else if (!category || !category->signals ||
             !g_strv_contains((const char* const*)category->signals, parts.member))
        TS_ERROR(error, TS_ERROR_INVALID, "No signal %s in category %s", parts.member, parts.path);
    else if (ts_payload_check(payload, NULL, error)) {
        g_autoptr(GDBusMessage) signal =
            g_dbus_message_new_signal(parts.path, TS_INTERFACE, parts.member);
        g_dbus_message_set_body(signal, g_variant_new("(s)", payload));
        ok = ts_handle_send(handle, signal, NULL, error);
    }
    ts_uri_clear(&parts);
    return ok;
}
