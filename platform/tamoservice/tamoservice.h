/* tamoservice: the Tamo bus client library, carried over D-Bus.
 *
 * Error contract: every operation that takes a TSError* returns false on failure and fills the
 * record (when one is passed); the caller frees a filled record with TSErrorFree. A record must
 * be initialized with TSErrorInit before its first use.
 *
 * Threading: handlers, reply functions and cancel notifications run on the thread of the GLib
 * main loop the handle is attached to, never from inside the call that started them. */
#ifndef TAMOSERVICE_H
#define TAMOSERVICE_H

#include <glib.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TSHandle TSHandle;
typedef struct TSMessage TSMessage;

/* Names one outstanding call or signal watch of a handle; never 0. */
typedef unsigned long TSMessageToken;

typedef struct {
    int error_code;
    char* message;
    const char* func;
    const char* file;
    int line;
} TSError;

enum {
    TS_ERROR_INVALID = -1,   /* a malformed argument: URI, name, payload */
    TS_ERROR_BUS = -2,       /* the bus refused or could not be reached */
    TS_ERROR_STATE = -3,     /* the handle is not in a state for this operation */
    TS_ERROR_TOO_LARGE = -4, /* the message would exceed TS_MAX_MESSAGE_SIZE */
};

/* The largest message the bus carries. dbus-daemon drops the connection of a client that sends
 * more, so the library refuses such a message instead; the bus configurations we ship set
 * max_message_size to this value, which is also dbus-daemon's default. */
#define TS_MAX_MESSAGE_SIZE (32u * 1024u * 1024u)
/* A payload of up to this many bytes always fits in one message, whatever its headers. */
#define TS_MAX_PAYLOAD_SIZE (TS_MAX_MESSAGE_SIZE - 64u * 1024u)

void TSErrorInit(TSError* error);
bool TSErrorIsSet(const TSError* error);
void TSErrorFree(TSError* error);

/* A method handler or reply function; the result is ignored by the library. */
typedef bool (*TSMethodFunction)(TSHandle* handle, TSMessage* message, void* context);

typedef struct {
    const char* name;
    TSMethodFunction function;
    unsigned flags;
} TSMethod;

typedef struct {
    const char* name;
    unsigned flags;
} TSSignal;

/* Tables end with an entry whose name is NULL. */

/* Takes the bus name `name` on $TAMO_BUS_ADDRESS, else the bus that started this process, else
 * the system bus. Fails when the name belongs to someone else. Should the bus itself go away,
 * the library logs why (a GLib warning of the domain "tamoservice") and the process receives
 * SIGTERM. */
bool TSRegister(const char* name, TSHandle** handlep, TSError* error);
/* A handle that owns no name, for programs that only call. */
bool TSRegisterAnonymous(TSHandle** handlep, TSError* error);
/* `category` is "/" or "/a/b"; `reserved` must be NULL. */
bool TSRegisterCategory(TSHandle* handle, const char* category, const TSMethod* methods,
                        const TSSignal* signals, void* reserved, TSError* error);
bool TSCategorySetData(TSHandle* handle, const char* category, void* data, TSError* error);
/* NULL attaches to the default main context. */
bool TSGmainAttach(TSHandle* handle, GMainLoop* loop, TSError* error);
/* Releases the name and frees the handle: no handler or reply function runs afterwards, and the
 * calls still outstanding are cancelled. */
bool TSUnregister(TSHandle* handle, TSError* error);

/* Whether `uri` names a method, quor://service/category/method (or tamo://); fills `error` with
 * what is wrong otherwise. */
bool TSUriCheck(const char* uri, TSError* error);

/* Calls quor://service/category/method (or tamo://). The reply function runs once per reply
 * until the call is cancelled; a payload with "subscribe": true (or "watch": true, a query
 * that answers again when its result changes) may bring many. A call the bus
 * cannot deliver reaches the reply function as
 * {"returnValue":false,"errorCode":-1,"errorText":"..."}. */
bool TSCall(TSHandle* handle, const char* uri, const char* payload, TSMethodFunction reply,
            void* context, TSMessageToken* tokenp, TSError* error);
/* As TSCall, but the call ends after its first reply; `tokenp` may be NULL. */
bool TSCallOneReply(TSHandle* handle, const char* uri, const char* payload, TSMethodFunction reply,
                    void* context, TSMessageToken* tokenp, TSError* error);
/* No later reply of that call is delivered; the callee is told. Unknown tokens are not an
 * error: the call may have ended already. */
bool TSCallCancel(TSHandle* handle, TSMessageToken token, TSError* error);

/* Whether a process owns `service` on the handle's bus now, in *ownedp. Waits for the bus's
 * answer: for tools, not for a service's main loop. */
bool TSServiceHasOwner(TSHandle* handle, const char* service, bool* ownedp, TSError* error);

/* Watches the signals of a category: `uri` names the category, such as quor://com.quor.x/a/b.
 * The function runs for each signal with the signal as the message; ended with TSCallCancel. */
bool TSSignalWatch(TSHandle* handle, const char* uri, TSMethodFunction function, void* context,
                   TSMessageToken* tokenp, TSError* error);
/* Broadcasts signal `name` of the category named by `uri` (quor://service/category/name). */
bool TSSignalSend(TSHandle* handle, const char* uri, const char* payload, TSError* error);

const char* TSMessageGetPayload(TSMessage* message);
/* The method name of a received call or signal, and the unique bus name of its sender. */
const char* TSMessageGetMethod(TSMessage* message);
const char* TSMessageGetSender(TSMessage* message);
/* True for a received call whose payload asked for many replies. */
bool TSMessageIsSubscription(TSMessage* message);
/* True for a reply after which its call brings no more (a one-shot answer, a failure). */
bool TSMessageIsFinal(TSMessage* message);

/* Answers a received call. The first answer is the method return; a subscription can be
 * answered again, each later answer reaching the caller in order. Answering a one-shot call
 * twice, or a subscription that was cancelled, fails. A payload too large for the bus fails
 * with TS_ERROR_TOO_LARGE, and the caller gets the failure payload saying so in its place. */
bool TSMessageRespond(TSMessage* message, const char* payload, TSError* error);
bool TSMessageReply(TSHandle* handle, TSMessage* message, const char* payload, TSError* error);

/* Who sent a received call: the Unix user id under which the sender's connection runs, as the
 * bus daemon itself tells it (org.freedesktop.DBus.GetConnectionUnixUser); the payload cannot
 * be trusted for that. `function` runs once, on the attached loop, with `found` false when the
 * bus cannot tell (the sender has left it). It never runs after TSSenderUidQueryCancel or once
 * the handle is unregistered. Returns NULL, and fills `error`, for a message that is not a
 * received call or a handle without loop. The query ends when its function has run. */
typedef struct TSSenderUidQuery TSSenderUidQuery;
typedef void (*TSSenderUidFunction)(bool found, unsigned int uid, void* context);
TSSenderUidQuery* TSMessageQuerySenderUid(TSMessage* message, TSSenderUidFunction function,
                                          void* context, TSError* error);
/* Only for a query whose function has not run yet. */
void TSSenderUidQueryCancel(TSSenderUidQuery* query);

/* Runs once when the caller of a subscription cancels it or leaves the bus. */
typedef void (*TSCancelFunction)(TSHandle* handle, TSMessage* message, void* context);
void TSMessageSetCancelFunction(TSMessage* message, TSCancelFunction function, void* context);

/* A handler that keeps a message past its return takes a reference. */
void TSMessageRef(TSMessage* message);
void TSMessageUnref(TSMessage* message);

#ifdef __cplusplus
}
#endif

#endif
