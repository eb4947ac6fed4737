/* The calls a handle makes: tokens, replies in order, cancellation, signal watches. */
#include "ts_private.h"

void ts_call_free(gpointer data)
{
    TSOutgoing* call = data;
    g_free(call->destination);
    g_free(call->callee);
    g_free(call->watch_path);
    g_free(call->match_rule);
    g_free(call);
}

static TSMessageToken next_token(TSHandle* handle)
{
    do {
        handle->last_token++;
    } while (handle->last_token == 0 ||
             g_hash_table_contains(handle->calls, GSIZE_TO_POINTER(handle->last_token)));
    return handle->last_token;
}

static TSOutgoing* call_by_serial(TSHandle* handle, guint32 serial)
{
    GHashTableIter iter;
    gpointer value;
    g_hash_table_iter_init(&iter, handle->calls);
    while (g_hash_table_iter_next(&iter, NULL, &value)) {
        TSOutgoing* call = value;
        if (!call->watch_path && call->serial == serial)
            return call;
    }
    return NULL;
}

/* Takes the call out of the handle's tables; the caller frees it. */
static TSOutgoing* call_detach(TSHandle* handle, TSOutgoing* call)
{
    g_hash_table_steal(handle->calls, GSIZE_TO_POINTER(call->token));
    if (call->serial)
        ts_handle_forget_serial(handle, call->serial);
    if (call->callee)
        ts_peer_watch_remove(handle, call->callee);
    if (call->match_rule)
        ts_bus_daemon_call(handle, "RemoveMatch", g_variant_new("(s)", call->match_rule));
    return call;
}

static void send_cancel(TSHandle* handle, TSOutgoing* call)
{
    /* Sent to the same destination as the call, so it arrives after it even when the service
     * has not answered yet. */
    g_autoptr(GDBusMessage) cancel = g_dbus_message_new_method_call(
        call->callee ? call->callee : call->destination, "/", TS_BUS_INTERFACE, "Cancel");
    g_dbus_message_set_body(cancel, g_variant_new("(u)", call->serial));
    g_dbus_message_set_flags(cancel, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED |
                                         G_DBUS_MESSAGE_FLAGS_NO_AUTO_START);
    ts_handle_send(handle, cancel, NULL, NULL);
}

/* Runs the reply function with a reply made of `payload`. A call that ends with this reply has
 * left the tables before its function runs, so the function may cancel or unregister freely. */
static void deliver(TSHandle* handle, TSOutgoing* call, const char* payload, bool last)
{
    TSMethodFunction func = call->func;
    void* context = call->context;
    bool one_reply = call->one_reply;
    if (last || one_reply) {
        call_detach(handle, call);
        if (call->one_reply && call->subscription && !last)
            send_cancel(handle, call);
        ts_call_free(call);
    }
    if (!func)
        return;
    TSMessage* reply = ts_message_new(handle, NULL, payload);
    reply->final = last || one_reply;
    func(handle, reply, context);
    TSMessageUnref(reply);
}

static char* error_text(GDBusMessage* message)
{
    const char* name = g_dbus_message_get_error_name(message);
    GVariant* body = g_dbus_message_get_body(message);
    if (body && g_variant_n_children(body) > 0) {
        g_autoptr(GVariant) first = g_variant_get_child_value(body, 0);
        if (g_variant_is_of_type(first, G_VARIANT_TYPE_STRING))
            return g_strdup(g_variant_get_string(first, NULL));
    }
    return g_strdup(name ? name : "Call failed");
}

void ts_call_dispatch_answer(TSHandle* handle, GDBusMessage* message)
{
    guint32 serial = g_dbus_message_get_reply_serial(message);
    TSOutgoing* call = call_by_serial(handle, serial);
    if (!call)
        return;
    if (g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_ERROR) {
        g_autofree char* text = error_text(message);
        g_autofree char* payload = ts_failure_payload(text);
        deliver(handle, call, payload, true);
        return;
    }
    GVariant* body = g_dbus_message_get_body(message);
    const char* payload = NULL;
    if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
        g_variant_get(body, "(&s)", &payload);
    if (!payload) {
        g_autofree char* failure = ts_failure_payload("The service answered without a payload");
        deliver(handle, call, failure, true);
        return;
    }
    call->answered = true;
    if (call->subscription && !call->one_reply) {
        call->callee = g_strdup(g_dbus_message_get_sender(message));
        ts_peer_watch_add(handle, call->callee);
    }
    deliver(handle, call, payload, !call->subscription);
}

void ts_call_dispatch_later_reply(TSHandle* handle, GDBusMessage* message)
{
    GVariant* body = g_dbus_message_get_body(message);
    if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE("(us)")))
        return;
    guint32 serial = 0;
    const char* payload = NULL;
    g_variant_get(body, "(u&s)", &serial, &payload);
    TSOutgoing* call = call_by_serial(handle, serial);
    /* Only the service that answered the call may add to it. */
    if (!call || !call->answered || g_strcmp0(call->callee, g_dbus_message_get_sender(message)))
        return;
    deliver(handle, call, payload, false);
}

void ts_call_dispatch_signal(TSHandle* handle, GDBusMessage* message)
{
    GVariant* body = g_dbus_message_get_body(message);
    if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
        return;
    const char* payload = NULL;
    g_variant_get(body, "(&s)", &payload);
    const char* path = g_dbus_message_get_path(message);
    /* Collect first: a watch function may cancel watches. */
    g_autoptr(GArray) tokens = g_array_new(FALSE, FALSE, sizeof(TSMessageToken));
    GHashTableIter iter;
    gpointer value;
    g_hash_table_iter_init(&iter, handle->calls);
    while (g_hash_table_iter_next(&iter, NULL, &value)) {
        TSOutgoing* call = value;
        if (call->watch_path && g_strcmp0(call->watch_path, path) == 0)
            g_array_append_val(tokens, call->token);
    }
    for (guint i = 0; i < tokens->len && handle->open; i++) {
        TSOutgoing* call = g_hash_table_lookup(
            handle->calls, GSIZE_TO_POINTER(g_array_index(tokens, TSMessageToken, i)));
        if (!call || !call->func)
            continue;
        TSMessage* signal = ts_message_new(handle, message, payload);
        call->func(handle, signal, call->context);
        TSMessageUnref(signal);
    }
}

void ts_call_peer_gone(TSHandle* handle, const char* name)
{
    g_autofree char* gone = g_strdup(name);
    GHashTableIter iter;
    gpointer value;
    /* They end with a failure reply. */
    g_autoptr(GArray) tokens = g_array_new(FALSE, FALSE, sizeof(TSMessageToken));
    g_hash_table_iter_init(&iter, handle->calls);
    while (g_hash_table_iter_next(&iter, NULL, &value)) {
        TSOutgoing* call = value;
        if (g_strcmp0(call->callee, gone) == 0)
            g_array_append_val(tokens, call->token);
    }
    for (guint i = 0; i < tokens->len && handle->open; i++) {
        TSOutgoing* call = g_hash_table_lookup(
            handle->calls, GSIZE_TO_POINTER(g_array_index(tokens, TSMessageToken, i)));
        if (!call)
            continue;
        g_autofree char* text = g_strdup_printf("Service %s left the bus", call->destination);
        g_autofree char* payload = ts_failure_payload(text);
        deliver(handle, call, payload, true);
    }
}

static bool start_call(TSHandle* handle, const char* uri, const char* payload,
                       TSMethodFunction reply, void* context, bool one_reply,
                       TSMessageToken* tokenp, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    TSUri parts;
    bool subscription = false;
    if (!ts_uri_parse(uri, &parts, error))
        return false;
    if (!ts_payload_check(payload, &subscription, error)) {
        ts_uri_clear(&parts);
        return false;
    }
    g_autoptr(GDBusMessage) message =
        g_dbus_message_new_method_call(parts.service, parts.path, TS_INTERFACE, parts.member);
    g_dbus_message_set_body(message, g_variant_new("(s)", payload));
    guint32 serial = 0;
    bool sent = ts_handle_send(handle, message, &serial, error);
    if (sent) {
        TSOutgoing* call = g_new0(TSOutgoing, 1);
        call->token = next_token(handle);
        call->serial = serial;
        call->func = reply;
        call->context = context;
        call->destination = g_steal_pointer(&parts.service);
        call->subscription = subscription;
        call->one_reply = one_reply;
        g_hash_table_insert(handle->calls, GSIZE_TO_POINTER(call->token), call);
        if (tokenp)
            *tokenp = call->token;
    }
    ts_uri_clear(&parts);
    return sent;
}

bool TSCall(TSHandle* handle, const char* uri, const char* payload, TSMethodFunction reply,
            void* context, TSMessageToken* tokenp, TSError* error)
{
    return start_call(handle, uri, payload, reply, context, false, tokenp, error);
}

bool TSCallOneReply(TSHandle* handle, const char* uri, const char* payload, TSMethodFunction reply,
                    void* context, TSMessageToken* tokenp, TSError* error)
{
    return start_call(handle, uri, payload, reply, context, true, tokenp, error);
}

bool TSCallCancel(TSHandle* handle, TSMessageToken token, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    TSOutgoing* call = g_hash_table_lookup(handle->calls, GSIZE_TO_POINTER(token));
    if (!call)
        return true;
    call_detach(handle, call);
    if (call->subscription)
        send_cancel(handle, call);
    ts_call_free(call);
    return true;
}

bool TSSignalWatch(TSHandle* handle, const char* uri, TSMethodFunction function, void* context,
                   TSMessageToken* tokenp, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    /* A category URI has no method part; parse it as one with a placeholder name. */
    g_autofree char* as_method =
        uri ? g_strconcat(uri, g_str_has_suffix(uri, "/") ? "" : "/", "signal", NULL) : NULL;
    TSUri parts;
    if (!ts_uri_parse(as_method, &parts, error))
        return false;
    TSOutgoing* call = g_new0(TSOutgoing, 1);
    call->token = next_token(handle);
    call->func = function;
    call->context = context;
    call->destination = g_steal_pointer(&parts.service);
    call->watch_path = g_steal_pointer(&parts.path);
    call->match_rule =
        g_strdup_printf("type='signal',sender='%s',interface='" TS_INTERFACE "',path='%s'",
                        call->destination, call->watch_path);
    ts_uri_clear(&parts);
    ts_bus_daemon_call(handle, "AddMatch", g_variant_new("(s)", call->match_rule));
    g_hash_table_insert(handle->calls, GSIZE_TO_POINTER(call->token), call);
    if (tokenp)
        *tokenp = call->token;
    return true;
}
