/* Received calls and replies, and the answers sent to them. */
#include "ts_private.h"

TSMessage* ts_message_new(TSHandle* handle, GDBusMessage* dbus, const char* payload)
{
    TSMessage* message = g_new0(TSMessage, 1);
    message->ref_count = 1;
    message->handle = handle;
    ts_handle_ref(handle);
    message->dbus = dbus ? g_object_ref(dbus) : NULL;
    message->payload = g_strdup(payload);
    if (dbus) {
        message->method = g_strdup(g_dbus_message_get_member(dbus));
        message->sender = g_strdup(g_dbus_message_get_sender(dbus));
        message->serial = g_dbus_message_get_serial(dbus);
        message->is_call = g_dbus_message_get_message_type(dbus) == G_DBUS_MESSAGE_TYPE_METHOD_CALL;
    }
    return message;
}

const char* TSMessageGetPayload(TSMessage* message)
{
    return message ? message->payload : NULL;
}

const char* TSMessageGetMethod(TSMessage* message)
{
    return message ? message->method : NULL;
}

const char* TSMessageGetSender(TSMessage* message)
{
    return message ? message->sender : NULL;
}

bool TSMessageIsSubscription(TSMessage* message)
{
    return message && message->subscription;
}

bool TSMessageIsFinal(TSMessage* message)
{
    return message && message->final;
}

void TSMessageSetCancelFunction(TSMessage* message, TSCancelFunction function, void* context)
{
    if (!message)
        return;
    message->cancel_func = function;
    message->cancel_context = context;
}

static GDBusMessage* answer_new(TSMessage* message, const char* payload)
{
    if (message->n_answers == 0) {
        GDBusMessage* answer = g_dbus_message_new_method_reply(message->dbus);
        g_dbus_message_set_body(answer, g_variant_new("(s)", payload));
        return answer;
    }
    /* Later answers of a subscription travel as signals from "/" addressed to the caller alone,
     * where the Cancel method is too. */
    GDBusMessage* answer = g_dbus_message_new_signal("/", TS_BUS_INTERFACE, "Reply");
    g_dbus_message_set_destination(answer, message->sender);
    g_dbus_message_set_body(answer, g_variant_new("(us)", message->serial, payload));
    return answer;
}

bool TSMessageRespond(TSMessage* message, const char* payload, TSError* error)
{
    if (!message || !message->is_call) {
        TS_ERROR(error, TS_ERROR_INVALID, "Only a received call can be answered");
        return false;
    }
    if (!ts_handle_is_open(message->handle)) {
        TS_ERROR(error, TS_ERROR_STATE, "The service has unregistered");
        return false;
    }
    if (message->cancelled) {
        TS_ERROR(error, TS_ERROR_STATE, "The caller cancelled this call");
        return false;
    }
    if (message->n_answers > 0 && !message->subscription) {
        TS_ERROR(error, TS_ERROR_STATE, "This call has been answered already");
        return false;
    }
    TSError refused;
    TSErrorInit(&refused);
    if (!ts_payload_check(payload, NULL, &refused) && refused.error_code != TS_ERROR_TOO_LARGE) {
        TS_ERROR(error, refused.error_code, "%s", refused.message);
        TSErrorFree(&refused);
        return false;
    }
    g_autoptr(GDBusMessage) answer = NULL;
    if (!TSErrorIsSet(&refused)) {
        answer = answer_new(message, payload);
        ts_message_fits(answer, &refused);
    }
    if (TSErrorIsSet(&refused)) {
        /* The caller learns why instead of waiting for an answer that cannot come. */
        g_autofree char* failure = ts_failure_payload(refused.message);
        g_clear_object(&answer);
        answer = answer_new(message, failure);
    }
    bool sent = ts_handle_send(message->handle, answer, NULL, error);
    if (sent)
        message->n_answers++;
    if (TSErrorIsSet(&refused)) {
        TS_ERROR(error, refused.error_code, "%s", refused.message);
        TSErrorFree(&refused);
        return false;
    }
    return sent;
}

bool TSMessageReply(TSHandle* handle, TSMessage* message, const char* payload, TSError* error)
{
    if (message && handle != message->handle) {
        TS_ERROR(error, TS_ERROR_INVALID, "The message was not received on this handle");
        return false;
    }
    return TSMessageRespond(message, payload, error);
}

void TSMessageRef(TSMessage* message)
{
    if (message)
        message->ref_count++;
}

void TSMessageUnref(TSMessage* message)
{
    if (!message || --message->ref_count > 0)
        return;
    if (message->subscription)
        ts_handle_forget_subscription(message->handle, message);
    if (message->is_call && message->n_answers == 0 && !message->cancelled &&
        ts_handle_is_open(message->handle) &&
        !(g_dbus_message_get_flags(message->dbus) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
        /* A call whose handler let it go unanswered would otherwise leave its caller waiting
         * for ever. */
        g_autoptr(GDBusMessage) answer =
            g_dbus_message_new_method_error(message->dbus, "com.quor.Tamo.Error.NoReply",
                                            "The service dropped the call unanswered");
        ts_handle_send(message->handle, answer, NULL, NULL);
    }
    ts_handle_unref(message->handle);
    g_clear_object(&message->dbus);
    g_free(message->payload);
    g_free(message->method);
    g_free(message->sender);
    g_free(message);
}

struct TSSenderUidQuery {
    TSHandle* handle; /* a reference */
    GCancellable* cancellable;
    TSSenderUidFunction function; /* NULL once cancelled */
    void* context;
};

static void sender_uid_done(GObject* source, GAsyncResult* result, gpointer data)
{
    TSSenderUidQuery* query = data;
    g_autoptr(GError) gerror = NULL;
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &gerror);
    if (query->function && ts_handle_is_open(query->handle)) {
        guint32 uid = 0;
        if (reply)
            g_variant_get(reply, "(u)", &uid);
        query->function(reply != NULL, uid, query->context);
    }
    ts_handle_unref(query->handle);
    g_object_unref(query->cancellable);
    g_free(query);
}

TSSenderUidQuery* TSMessageQuerySenderUid(TSMessage* message, TSSenderUidFunction function,
                                          void* context, TSError* error)
{
    if (!message || !message->is_call || !message->sender || !function) {
        TS_ERROR(error, TS_ERROR_INVALID, "Only the sender of a received call can be asked for");
        return NULL;
    }
    if (!ts_handle_check(message->handle, error))
        return NULL;
    GMainContext* loop = ts_handle_context(message->handle);
    if (!loop) {
        TS_ERROR(error, TS_ERROR_STATE, "The handle is not attached to a loop");
        return NULL;
    }
    TSSenderUidQuery* query = g_new0(TSSenderUidQuery, 1);
    query->handle = message->handle;
    ts_handle_ref(query->handle);
    query->cancellable = g_cancellable_new();
    query->function = function;
    query->context = context;
    /* The answer is delivered on the thread-default context of the call: the attached loop's,
     * like every other reply of the handle. */
    g_main_context_push_thread_default(loop);
    g_dbus_connection_call(message->handle->connection, "org.freedesktop.DBus",
                           "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixUser",
                           g_variant_new("(s)", message->sender), G_VARIANT_TYPE("(u)"),
                           G_DBUS_CALL_FLAGS_NONE, -1, query->cancellable, sender_uid_done, query);
    g_main_context_pop_thread_default(loop);
    return query;
}

void TSSenderUidQueryCancel(TSSenderUidQuery* query)
{
    if (!query)
        return;
    /* Freed by sender_uid_done, which GDBus still calls once. */
    query->function = NULL;
    g_cancellable_cancel(query->cancellable);
}
