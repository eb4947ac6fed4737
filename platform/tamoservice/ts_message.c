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

bool TSMessageRespond(TSMessage* message, const char* payload, TSError* error)
{
    if (!message || !message->is_call) {
        TS_ERROR(error, TS_ERROR_INVALID, "Only a received call can be answered");
        return false;
    }
    if (!ts_payload_check(payload, NULL, error))
        return false;
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
    g_autoptr(GDBusMessage) answer = NULL;
    if (message->n_answers == 0) {
        answer = g_dbus_message_new_method_reply(message->dbus);
    } else {
        /* Later answers of a subscription travel as signals addressed to the caller alone. */
        answer = g_dbus_message_new_signal(g_dbus_message_get_path(message->dbus), TS_BUS_INTERFACE,
                                           "Reply");
        g_dbus_message_set_destination(answer, message->sender);
    }
    if (message->n_answers == 0)
        g_dbus_message_set_body(answer, g_variant_new("(s)", payload));
    else
        g_dbus_message_set_body(answer, g_variant_new("(us)", message->serial, payload));
    if (!ts_handle_send(message->handle, answer, NULL, error))
        return false;
    message->n_answers++;
    return true;
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
