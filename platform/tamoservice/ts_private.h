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

typedef struct TSCategory TSCategory;

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

TSMessage* ts_message_new(TSHandle* handle, GDBusMessage* dbus, const char* payload);
/* A subscription registered with the handle leaves it when cancelled or freed. */
void ts_handle_forget_subscription(TSHandle* handle, TSMessage* message);
bool ts_handle_send(TSHandle* handle, GDBusMessage* message, guint32* serialp, TSError* error);
bool ts_handle_is_open(const TSHandle* handle);
void ts_handle_ref(TSHandle* handle);
void ts_handle_unref(TSHandle* handle);

#endif
