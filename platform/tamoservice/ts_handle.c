/* Handles: the connection and its inbox, registration, peer departures, and the dispatch of
 * everything that arrives, in arrival order, on the attached main loop. */
#include "ts_private.h"

#include <string.h>

/* Messages for us are taken off GDBus's worker thread by a filter and queued here; one idle
 * source on the attached context drains the queue in order. Keeping every kind of message in one
 * queue is what keeps a call's method return ahead of its later replies. */
struct TSInbox {
    GMutex lock;
    gint ref_count;
    GQueue queue;
    GHashTable* serials; /* serials of our outstanding calls, whose answers the filter takes */
    GMainContext* context;
    GSource* source;
    bool closed;
    TSHandle* handle; /* read on the loop's thread only */
};

#define NAME_OWNER_RULE                                                                            \
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"                    \
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='%s'"

static TSInbox* inbox_ref(TSInbox* inbox)
{
    g_atomic_int_inc(&inbox->ref_count);
    return inbox;
}

static void inbox_unref(gpointer data)
{
    TSInbox* inbox = data;
    if (!g_atomic_int_dec_and_test(&inbox->ref_count))
        return;
    g_queue_clear_full(&inbox->queue, g_object_unref);
    g_hash_table_unref(inbox->serials);
    if (inbox->context)
        g_main_context_unref(inbox->context);
    g_mutex_clear(&inbox->lock);
    g_free(inbox);
}

static void dispatch(TSHandle* handle, GDBusMessage* message);

static gboolean inbox_drain(gpointer data)
{
    TSInbox* inbox = data;
    g_mutex_lock(&inbox->lock);
    GQueue pending = inbox->queue;
    g_queue_init(&inbox->queue);
    g_clear_pointer(&inbox->source, g_source_unref);
    TSHandle* handle = inbox->closed ? NULL : inbox->handle;
    g_mutex_unlock(&inbox->lock);

    if (handle)
        ts_handle_ref(handle);
    GDBusMessage* message;
    while ((message = g_queue_pop_head(&pending))) {
        if (handle && handle->open)
            dispatch(handle, message);
        g_object_unref(message);
    }
    if (handle)
        ts_handle_unref(handle);
    return G_SOURCE_REMOVE;
}

/* Called with the lock held. */
static void inbox_schedule(TSInbox* inbox)
{
    if (inbox->closed || !inbox->context || inbox->source || g_queue_is_empty(&inbox->queue))
        return;
    inbox->source = g_idle_source_new();
    g_source_set_priority(inbox->source, G_PRIORITY_DEFAULT);
    g_source_set_callback(inbox->source, inbox_drain, inbox_ref(inbox), inbox_unref);
    g_source_attach(inbox->source, inbox->context);
}

static bool is_ours(TSInbox* inbox, GDBusMessage* message)
{
    const char* interface = g_dbus_message_get_interface(message);
    switch (g_dbus_message_get_message_type(message)) {
    case G_DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case G_DBUS_MESSAGE_TYPE_ERROR:
        return g_hash_table_contains(inbox->serials,
                                     GUINT_TO_POINTER(g_dbus_message_get_reply_serial(message)));
    case G_DBUS_MESSAGE_TYPE_SIGNAL:
        return g_strcmp0(interface, TS_INTERFACE) == 0 ||
               g_strcmp0(interface, TS_BUS_INTERFACE) == 0 ||
               (g_strcmp0(interface, "org.freedesktop.DBus") == 0 &&
                g_strcmp0(g_dbus_message_get_member(message), "NameOwnerChanged") == 0);
    case G_DBUS_MESSAGE_TYPE_METHOD_CALL:
        return g_strcmp0(interface, TS_INTERFACE) == 0 ||
               g_strcmp0(interface, TS_BUS_INTERFACE) == 0 ||
               g_strcmp0(interface, "org.freedesktop.DBus.Introspectable") == 0;
    case G_DBUS_MESSAGE_TYPE_INVALID:
        return false;
    }
    return false;
}

/* Runs on GDBus's worker thread. */
static GDBusMessage* inbox_filter(GDBusConnection* connection, GDBusMessage* message,
                                  gboolean incoming, gpointer data)
{
    (void)connection;
    TSInbox* inbox = data;
    if (!incoming)
        return message;
    g_mutex_lock(&inbox->lock);
    bool take = !inbox->closed && is_ours(inbox, message);
    if (take) {
        g_queue_push_tail(&inbox->queue, message);
        inbox_schedule(inbox);
    }
    g_mutex_unlock(&inbox->lock);
    return take ? NULL : message;
}

void ts_handle_ref(TSHandle* handle)
{
    g_atomic_int_inc(&handle->ref_count);
}

static void category_free(gpointer data)
{
    TSCategory* category = data;
    for (TSMethod* method = category->methods; method && method->name; method++)
        g_free((char*)method->name);
    g_free(category->methods);
    g_strfreev(category->signals);
    g_free(category->path);
    g_free(category);
}

void ts_handle_unref(TSHandle* handle)
{
    if (!g_atomic_int_dec_and_test(&handle->ref_count))
        return;
    g_clear_object(&handle->connection);
    g_hash_table_unref(handle->categories);
    g_hash_table_unref(handle->calls);
    g_hash_table_unref(handle->subscriptions);
    g_hash_table_unref(handle->peer_watch);
    g_hash_table_unref(handle->peer_checks);
    g_free(handle->name);
    g_free(handle);
}

bool ts_handle_is_open(const TSHandle* handle)
{
    return handle && handle->open;
}

GMainContext* ts_handle_context(TSHandle* handle)
{
    g_mutex_lock(&handle->inbox->lock);
    GMainContext* context = handle->inbox->context;
    g_mutex_unlock(&handle->inbox->lock);
    return context;
}

/* An upper bound of the message's size on the wire, as the bus will see it. */
static gsize message_size_bound(GDBusMessage* message)
{
    /* The fixed header, every field's code, signature and padding, and the sender field that
     * the bus adds (a unique name). */
    gsize size = 512;
    const char* fields[] = {
        g_dbus_message_get_path(message),       g_dbus_message_get_interface(message),
        g_dbus_message_get_member(message),     g_dbus_message_get_destination(message),
        g_dbus_message_get_error_name(message), g_dbus_message_get_signature(message),
    };
    for (size_t i = 0; i < G_N_ELEMENTS(fields); i++)
        size += fields[i] ? strlen(fields[i]) : 0;
    GVariant* body = g_dbus_message_get_body(message);
    /* D-Bus adds a length and up to seven bytes of padding to each member of our flat bodies. */
    if (body)
        size += g_variant_get_size(body) + 12 * g_variant_n_children(body);
    return size;
}

bool ts_message_fits(GDBusMessage* message, TSError* error)
{
    gsize size = message_size_bound(message);
    if (size <= TS_MAX_MESSAGE_SIZE)
        return true;
    TS_ERROR(error, TS_ERROR_TOO_LARGE,
             "The message (%" G_GSIZE_FORMAT " bytes) is larger than the bus carries (%u bytes)",
             size, TS_MAX_MESSAGE_SIZE);
    return false;
}

bool ts_handle_send(TSHandle* handle, GDBusMessage* message, guint32* serialp, TSError* error)
{
    /* The bus would drop our connection rather than refuse the message. */
    if (!ts_message_fits(message, error))
        return false;
    g_autoptr(GError) gerror = NULL;
    guint32 serial = 0;
    /* The serial goes into the filter's table under the same lock as the send, so an answer
     * that comes back at once is still recognized as ours. */
    g_mutex_lock(&handle->inbox->lock);
    bool sent = g_dbus_connection_send_message(handle->connection, message,
                                               G_DBUS_SEND_MESSAGE_FLAGS_NONE, &serial, &gerror);
    if (sent && serialp)
        g_hash_table_add(handle->inbox->serials, GUINT_TO_POINTER(serial));
    g_mutex_unlock(&handle->inbox->lock);
    if (!sent) {
        TS_ERROR(error, TS_ERROR_BUS, "Bus send failed: %s", gerror->message);
        return false;
    }
    if (serialp)
        *serialp = serial;
    return true;
}

void ts_handle_forget_serial(TSHandle* handle, guint32 serial)
{
    g_mutex_lock(&handle->inbox->lock);
    g_hash_table_remove(handle->inbox->serials, GUINT_TO_POINTER(serial));
    g_mutex_unlock(&handle->inbox->lock);
}

void ts_bus_daemon_call(TSHandle* handle, const char* member, GVariant* body)
{
    g_autoptr(GDBusMessage) message = g_dbus_message_new_method_call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", member);
    g_dbus_message_set_body(message, body);
    g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    ts_handle_send(handle, message, NULL, NULL);
}

void ts_peer_watch_add(TSHandle* handle, const char* name)
{
    guint count = GPOINTER_TO_UINT(g_hash_table_lookup(handle->peer_watch, name));
    g_hash_table_insert(handle->peer_watch, g_strdup(name), GUINT_TO_POINTER(count + 1));
    if (count > 0)
        return;
    g_autofree char* rule = g_strdup_printf(NAME_OWNER_RULE, name);
    ts_bus_daemon_call(handle, "AddMatch", g_variant_new("(s)", rule));
    /* The peer may have left before the rule took effect. The bus answers this query after it
     * applied the rule, so the departure is seen one way or the other. */
    g_autoptr(GDBusMessage) query = g_dbus_message_new_method_call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner");
    g_dbus_message_set_body(query, g_variant_new("(s)", name));
    guint32 serial = 0;
    if (ts_handle_send(handle, query, &serial, NULL))
        g_hash_table_insert(handle->peer_checks, GUINT_TO_POINTER(serial), g_strdup(name));
}

void ts_peer_watch_remove(TSHandle* handle, const char* name)
{
    guint count = GPOINTER_TO_UINT(g_hash_table_lookup(handle->peer_watch, name));
    if (count == 0)
        return;
    if (count > 1) {
        g_hash_table_insert(handle->peer_watch, g_strdup(name), GUINT_TO_POINTER(count - 1));
        return;
    }
    g_hash_table_remove(handle->peer_watch, name);
    g_autofree char* rule = g_strdup_printf(NAME_OWNER_RULE, name);
    ts_bus_daemon_call(handle, "RemoveMatch", g_variant_new("(s)", rule));
}

static void peer_gone(TSHandle* handle, const char* name)
{
    g_autofree char* gone = g_strdup(name);
    ts_serve_peer_gone(handle, gone);
    if (handle->open)
        ts_call_peer_gone(handle, gone);
}

/* The answer to a departure check of ts_peer_watch_add. */
static bool peer_check_answered(TSHandle* handle, GDBusMessage* message)
{
    guint32 serial = g_dbus_message_get_reply_serial(message);
    g_autofree char* peer = g_hash_table_lookup(handle->peer_checks, GUINT_TO_POINTER(serial));
    if (peer) {
        g_hash_table_steal(handle->peer_checks, GUINT_TO_POINTER(serial));
        GVariant* body = g_dbus_message_get_body(message);
        gboolean has_owner = TRUE;
        if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(b)")))
            g_variant_get(body, "(b)", &has_owner);
        if (!has_owner)
            peer_gone(handle, peer);
        return true;
    }
    return false;
}

static void dispatch_name_owner(TSHandle* handle, GDBusMessage* message)
{
    if (g_strcmp0(g_dbus_message_get_sender(message), "org.freedesktop.DBus") != 0)
        return;
    GVariant* body = g_dbus_message_get_body(message);
    if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE("(sss)")))
        return;
    const char *name, *old_owner, *new_owner;
    g_variant_get(body, "(&s&s&s)", &name, &old_owner, &new_owner);
    if (name[0] == ':' && new_owner[0] == '\0' && g_hash_table_contains(handle->peer_watch, name))
        peer_gone(handle, name);
}

static void dispatch(TSHandle* handle, GDBusMessage* message)
{
    const char* interface = g_dbus_message_get_interface(message);
    const char* member = g_dbus_message_get_member(message);
    switch (g_dbus_message_get_message_type(message)) {
    case G_DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case G_DBUS_MESSAGE_TYPE_ERROR:
        ts_handle_forget_serial(handle, g_dbus_message_get_reply_serial(message));
        if (!peer_check_answered(handle, message))
            ts_call_dispatch_answer(handle, message);
        return;
    case G_DBUS_MESSAGE_TYPE_SIGNAL:
        if (g_strcmp0(interface, TS_BUS_INTERFACE) == 0 && g_strcmp0(member, "Reply") == 0)
            ts_call_dispatch_later_reply(handle, message);
        else if (g_strcmp0(interface, TS_INTERFACE) == 0)
            ts_call_dispatch_signal(handle, message);
        else
            dispatch_name_owner(handle, message);
        return;
    case G_DBUS_MESSAGE_TYPE_METHOD_CALL:
        if (g_strcmp0(interface, TS_INTERFACE) == 0)
            ts_serve_dispatch_method(handle, message);
        else if (g_strcmp0(interface, TS_BUS_INTERFACE) == 0 && g_strcmp0(member, "Cancel") == 0)
            ts_serve_dispatch_cancel(handle, message);
        else if (g_strcmp0(member, "Introspect") == 0)
            ts_serve_dispatch_introspect(handle, message);
        else
            ts_serve_answer_error(handle, message, "org.freedesktop.DBus.Error.UnknownMethod",
                                  "No such method");
        return;
    case G_DBUS_MESSAGE_TYPE_INVALID:
        return;
    }
}

static char* bus_address(TSError* error)
{
    const char* address = g_getenv("TAMO_BUS_ADDRESS");
    if (address && *address)
        return g_strdup(address);
    g_autoptr(GError) gerror = NULL;
    char* found = NULL;
    if (g_getenv("DBUS_STARTER_ADDRESS"))
        found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_STARTER, NULL, &gerror);
    else
        found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, NULL, &gerror);
    if (!found)
        TS_ERROR(error, TS_ERROR_BUS, "No bus address: %s", gerror->message);
    return found;
}

static TSHandle* handle_connect(TSError* error)
{
    g_autofree char* address = bus_address(error);
    if (!address)
        return NULL;
    g_autoptr(GError) gerror = NULL;
    /* A connection of our own per handle: unregistering closes it, which releases the name and
     * every match rule at once. */
    GDBusConnection* connection =
        g_dbus_connection_new_for_address_sync(address,
                                               G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION,
                                               NULL, NULL, &gerror);
    if (!connection) {
        TS_ERROR(error, TS_ERROR_BUS, "Cannot connect to the bus at %s: %s", address,
                 gerror->message);
        return NULL;
    }
    TSHandle* handle = g_new0(TSHandle, 1);
    handle->ref_count = 1;
    handle->open = true;
    handle->connection = connection;
    handle->categories = g_hash_table_new_full(g_str_hash, g_str_equal, NULL, category_free);
    handle->calls = g_hash_table_new_full(g_direct_hash, g_direct_equal, NULL, ts_call_free);
    handle->subscriptions = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    handle->peer_watch = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    handle->peer_checks = g_hash_table_new_full(g_direct_hash, g_direct_equal, NULL, g_free);
    TSInbox* inbox = g_new0(TSInbox, 1);
    g_mutex_init(&inbox->lock);
    inbox->ref_count = 1;
    g_queue_init(&inbox->queue);
    inbox->serials = g_hash_table_new(g_direct_hash, g_direct_equal);
    inbox->handle = handle;
    handle->inbox = inbox;
    handle->filter_id =
        g_dbus_connection_add_filter(connection, inbox_filter, inbox_ref(inbox), inbox_unref);
    ts_bus_daemon_call(
        handle, "AddMatch",
        g_variant_new("(s)", "type='signal',interface='" TS_BUS_INTERFACE "',member='Reply'"));
    return handle;
}

static void handle_close(TSHandle* handle)
{
    handle->open = false;
    g_mutex_lock(&handle->inbox->lock);
    handle->inbox->closed = true;
    if (handle->inbox->source)
        g_source_destroy(handle->inbox->source);
    g_clear_pointer(&handle->inbox->source, g_source_unref);
    g_queue_clear_full(&handle->inbox->queue, g_object_unref);
    g_mutex_unlock(&handle->inbox->lock);
    g_dbus_connection_remove_filter(handle->connection, handle->filter_id);
    /* Answers already sent (errors for dropped calls among them) must leave before the close. */
    g_dbus_connection_flush_sync(handle->connection, NULL, NULL);
    g_dbus_connection_close_sync(handle->connection, NULL, NULL);

    GHashTableIter iter;
    gpointer value;
    g_hash_table_iter_init(&iter, handle->subscriptions);
    while (g_hash_table_iter_next(&iter, NULL, &value))
        ((TSMessage*)value)->cancelled = true;
    g_hash_table_remove_all(handle->subscriptions);
    g_hash_table_remove_all(handle->calls);
    g_hash_table_remove_all(handle->categories);
    inbox_unref(handle->inbox);
    handle->inbox = NULL;
}

bool TSRegisterAnonymous(TSHandle** handlep, TSError* error)
{
    if (!handlep) {
        TS_ERROR(error, TS_ERROR_INVALID, "No handle pointer given");
        return false;
    }
    *handlep = handle_connect(error);
    return *handlep != NULL;
}

/* Runs before GDBus's own handler, which raises SIGTERM. `name` belongs to the connection, which
 * may outlive the handle. */
static void on_bus_lost(GDBusConnection* connection, gboolean remote_peer_vanished, GError* gerror,
                        gpointer name)
{
    (void)connection;
    if (remote_peer_vanished)
        g_warning("%s lost its bus connection (%s); the process ends", (const char*)name,
                  gerror ? gerror->message : "closed by the bus");
}

static void free_name(gpointer name, GClosure* closure)
{
    (void)closure;
    g_free(name);
}

bool TSRegister(const char* name, TSHandle** handlep, TSError* error)
{
    if (!handlep || !name || !g_dbus_is_name(name) || g_dbus_is_unique_name(name)) {
        TS_ERROR(error, TS_ERROR_INVALID, "Bad service name \"%s\"", name ? name : "(null)");
        return false;
    }
    *handlep = NULL;
    TSHandle* handle = handle_connect(error);
    if (!handle)
        return false;
    g_autoptr(GError) gerror = NULL;
    /* Calls that arrive as soon as the name is ours wait in the inbox until the loop runs, by
     * which time the categories are in place. */
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        handle->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", name, 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, NULL, &gerror);
    guint32 result = 0;
    if (reply)
        g_variant_get(reply, "(u)", &result);
    if (result != 1 && result != 4) {
        if (reply)
            TS_ERROR(error, TS_ERROR_BUS, "The name %s belongs to another process", name);
        else
            TS_ERROR(error, TS_ERROR_BUS, "Cannot own the name %s: %s", name, gerror->message);
        handle_close(handle);
        ts_handle_unref(handle);
        return false;
    }
    handle->name = g_strdup(name);
    /* A service does not outlive its bus: when the bus goes away the process gets SIGTERM and
     * shuts down the way it would when asked to, after saying why. */
    g_signal_connect_data(handle->connection, "closed", G_CALLBACK(on_bus_lost), g_strdup(name),
                          free_name, 0);
    g_dbus_connection_set_exit_on_close(handle->connection, TRUE);
    *handlep = handle;
    return true;
}

bool ts_handle_check(TSHandle* handle, TSError* error)
{
    if (!handle || !handle->open) {
        TS_ERROR(error, TS_ERROR_STATE, "No registered handle");
        return false;
    }
    return true;
}

bool TSRegisterCategory(TSHandle* handle, const char* category, const TSMethod* methods,
                        const TSSignal* signals, void* reserved, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    if (!ts_category_valid(category) || reserved) {
        TS_ERROR(error, TS_ERROR_INVALID, "Bad category \"%s\"", category ? category : "(null)");
        return false;
    }
    if (g_hash_table_contains(handle->categories, category)) {
        TS_ERROR(error, TS_ERROR_INVALID, "Category %s is registered already", category);
        return false;
    }
    size_t n_methods = 0;
    for (const TSMethod* method = methods; method && method->name; method++, n_methods++) {
        if (!g_dbus_is_member_name(method->name) || !method->function) {
            TS_ERROR(error, TS_ERROR_INVALID, "\"%s\" cannot be a method name", method->name);
            return false;
        }
    }
    g_autoptr(GPtrArray) signal_names = g_ptr_array_new();
    for (const TSSignal* signal = signals; signal && signal->name; signal++) {
        if (!g_dbus_is_member_name(signal->name)) {
            TS_ERROR(error, TS_ERROR_INVALID, "\"%s\" cannot be a signal name", signal->name);
            g_ptr_array_set_free_func(signal_names, g_free);
            return false;
        }
        g_ptr_array_add(signal_names, g_strdup(signal->name));
    }
    g_ptr_array_add(signal_names, NULL);
    TSCategory* entry = g_new0(TSCategory, 1);
    entry->path = g_strdup(category);
    entry->methods = g_new0(TSMethod, n_methods + 1);
    for (size_t i = 0; i < n_methods; i++) {
        entry->methods[i] = methods[i];
        entry->methods[i].name = g_strdup(methods[i].name);
    }
    entry->signals = (char**)g_ptr_array_free(g_steal_pointer(&signal_names), FALSE);
    g_hash_table_insert(handle->categories, entry->path, entry);
    return true;
}

bool TSCategorySetData(TSHandle* handle, const char* category, void* data, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    TSCategory* entry = category ? g_hash_table_lookup(handle->categories, category) : NULL;
    if (!entry) {
        TS_ERROR(error, TS_ERROR_INVALID, "No category \"%s\"", category ? category : "(null)");
        return false;
    }
    entry->data = data;
    return true;
}

bool TSGmainAttach(TSHandle* handle, GMainLoop* loop, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    GMainContext* context = loop ? g_main_loop_get_context(loop) : g_main_context_default();
    g_mutex_lock(&handle->inbox->lock);
    if (handle->inbox->context)
        g_main_context_unref(handle->inbox->context);
    handle->inbox->context = g_main_context_ref(context);
    inbox_schedule(handle->inbox);
    g_mutex_unlock(&handle->inbox->lock);
    return true;
}

bool TSServiceHasOwner(TSHandle* handle, const char* service, bool* ownedp, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    if (!service || !g_dbus_is_name(service) || !ownedp) {
        TS_ERROR(error, TS_ERROR_INVALID, "Bad service name \"%s\"", service ? service : "(null)");
        return false;
    }
    g_autoptr(GError) gerror = NULL;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        handle->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", service), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, -1, NULL, &gerror);
    if (!reply) {
        TS_ERROR(error, TS_ERROR_BUS, "Cannot ask the bus about %s: %s", service, gerror->message);
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    *ownedp = owned;
    return true;
}

bool TSUnregister(TSHandle* handle, TSError* error)
{
    if (!ts_handle_check(handle, error))
        return false;
    handle_close(handle);
    ts_handle_unref(handle);
    return true;
}
