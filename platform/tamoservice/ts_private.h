/* Internal structures of the bus client library, shared by its files. */
#ifndef TS_PRIVATE_H
#define TS_PRIVATE_H

#include "tamoservice.h"

#include <gio/gio.h>

#define TS_INTERFACE "com.quor.Tamo"
#define TS_BUS_INTERFACE "com.quor.Tamo.Bus"

void ts_error_set(TSError* error, int code, const char* func, const char* file, int line,
                  const char* format, ...) __attribute__((format(printf, 6, 7)));
#define TS_ERROR(error, code, ...)                                                                 \
    ts_error_set((error), (code), __func__, __FILE__, __LINE__, __VA_ARGS__)

/* A method URI split into its D-Bus parts. */
typedef struct {
    char* service;
    char* path;
    char* member;
} TSUri;

/* Splits scheme://service/category/name; fills `error` and returns false when any part is not
 * something D-Bus can carry. */
bool ts_uri_parse(const char* uri, TSUri* out, TSError* error);
void ts_uri_clear(TSUri* uri);
/* A category path as D-Bus accepts it: "/" or "/a/b". */
bool ts_category_valid(const char* category);

/* Payloads must be JSON texts; *subscribep tells whether it asks for many replies: "subscribe"
 * or "watch" true. */
bool ts_payload_check(const char* payload, bool* subscribep, TSError* error);
/* {"returnValue":false,"errorCode":-1,"errorText":text} */
char* ts_failure_payload(const char* text);

typedef struct TSInbox TSInbox;
typedef struct TSCategory TSCategory;

struct TSCategory {
    char* path;
    TSMethod* methods;
    char** signals;
    void* data;
};

typedef struct {
    TSMessageToken token;
    guint32 serial;
    TSMethodFunction func;
    void* context;
    char* destination;
    char* callee; /* unique name of the service once it answered */
    char* watch_path;
    char* match_rule;
    bool subscription;
    bool one_reply;
    bool answered;
} TSOutgoing;

struct TSHandle {
    gint ref_count;
    bool open;
    GDBusConnection* connection;
    char* name;
    TSInbox* inbox;
    guint filter_id;
    GHashTable* categories;    /* path -> TSCategory */
    GHashTable* calls;         /* token -> TSOutgoing */
    GHashTable* subscriptions; /* "sender serial" -> TSMessage, not owned */
    GHashTable* peer_watch;    /* unique name -> number of reasons to watch it */
    GHashTable* peer_checks;   /* serial of a NameHasOwner query -> name */
    TSMessageToken last_token;
};

struct TSMessage {
    int ref_count;
    TSHandle* handle;   /* a reference */
    GDBusMessage* dbus; /* the call or signal received; NULL for a synthesized reply */
    char* payload;
    char* method;
    char* sender;
    guint32 serial;
    bool is_call;
    bool subscription;
    bool final;
    unsigned n_answers;
    bool cancelled;
    TSCancelFunction cancel_func;
    void* cancel_context;
};

/* ts_handle.c */
bool ts_handle_check(TSHandle* handle, TSError* error);
void ts_handle_forget_serial(TSHandle* handle, guint32 serial);
/* Sends a message to the bus daemon itself, expecting no reply. */
void ts_bus_daemon_call(TSHandle* handle, const char* member, GVariant* body);
/* Peers whose departure matters: the callers of the subscriptions we serve and the services of
 * the subscriptions we hold. Counted: each add is matched by a remove. */
void ts_peer_watch_add(TSHandle* handle, const char* name);
void ts_peer_watch_remove(TSHandle* handle, const char* name);

/* ts_call.c: the calls this handle makes. */
void ts_call_free(gpointer call);
void ts_call_dispatch_answer(TSHandle* handle, GDBusMessage* message);
void ts_call_dispatch_later_reply(TSHandle* handle, GDBusMessage* message);
void ts_call_dispatch_signal(TSHandle* handle, GDBusMessage* message);
void ts_call_peer_gone(TSHandle* handle, const char* name);

/* ts_serve.c: the calls this handle receives. */
void ts_serve_dispatch_method(TSHandle* handle, GDBusMessage* call);
void ts_serve_dispatch_cancel(TSHandle* handle, GDBusMessage* call);
void ts_serve_dispatch_introspect(TSHandle* handle, GDBusMessage* call);
void ts_serve_peer_gone(TSHandle* handle, const char* name);
/* Answers a call with a D-Bus error, unless it asked for no reply. */
void ts_serve_answer_error(TSHandle* handle, GDBusMessage* call, const char* name,
                           const char* text);

/* ts_message.c */
TSMessage* ts_message_new(TSHandle* handle, GDBusMessage* dbus, const char* payload);
/* A subscription registered with the handle leaves it when cancelled or freed. */
void ts_handle_forget_subscription(TSHandle* handle, TSMessage* message);
/* Fails with TS_ERROR_TOO_LARGE for a message the bus would refuse; ts_handle_send checks. */
bool ts_message_fits(GDBusMessage* message, TSError* error);
bool ts_handle_send(TSHandle* handle, GDBusMessage* message, guint32* serialp, TSError* error);
bool ts_handle_is_open(const TSHandle* handle);
/* The context of the attached loop (not a reference); NULL before TSGmainAttach. */
GMainContext* ts_handle_context(TSHandle* handle);
void ts_handle_ref(TSHandle* handle);
void ts_handle_unref(TSHandle* handle);

#endif
