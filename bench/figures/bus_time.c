/* Times bus calls as a phone-side client sees them: from the call to its first reply; with -s,
 * to the first signal of a category whose payload contains a text; with -w, to the first reply
 * of another call made just before it (a database watch), waiting for both replies. Prints one
 * figure in milliseconds per call; fails on an answer with "returnValue":false. Usage:
 *   bus_time [-n COUNT] URI PAYLOAD
 *   bus_time -s SIGNAL_CATEGORY_URI TEXT URI PAYLOAD
 *   bus_time -w WATCH_URI WATCH_PAYLOAD URI PAYLOAD */
#include "tamoservice.h"

#include <glib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    const char* wanted; /* NULL: any reply */
    char* payload;
} Outcome;

static bool take(TSHandle* handle, TSMessage* message, void* context)
{
    (void)handle;
    Outcome* outcome = context;
    const char* payload = TSMessageGetPayload(message);
    if (!outcome->payload && (!outcome->wanted || strstr(payload, outcome->wanted)))
        outcome->payload = g_strdup(payload);
    return true;
}

static bool ignore(TSHandle* handle, TSMessage* message, void* context)
{
    (void)handle;
    (void)message;
    (void)context;
    return true;
}

int main(int argc, char** argv)
{
    int count = 1;
    const char* signalUri = NULL;
    const char* signalText = NULL;
    const char* watchUri = NULL;
    const char* watchPayload = NULL;
    int arg = 1;
    if (arg + 1 < argc && strcmp(argv[arg], "-n") == 0) {
        count = atoi(argv[arg + 1]);
        arg += 2;
    } else if (arg + 2 < argc && strcmp(argv[arg], "-s") == 0) {
        signalUri = argv[arg + 1];
        signalText = argv[arg + 2];
        arg += 3;
    } else if (arg + 2 < argc && strcmp(argv[arg], "-w") == 0) {
        watchUri = argv[arg + 1];
        watchPayload = argv[arg + 2];
        arg += 3;
    }
    if (argc - arg != 2 || count < 1) {
        fprintf(stderr, "usage: bus_time [-n COUNT | -s SIGNAL_URI TEXT | -w WATCH_URI "
                        "WATCH_PAYLOAD] URI PAYLOAD\n");
        return 2;
    }
    TSHandle* handle = NULL;
    TSError error;
    TSErrorInit(&error);
    if (!TSRegisterAnonymous(&handle, &error) || !TSGmainAttach(handle, NULL, &error)) {
        fprintf(stderr, "bus_time: %s\n", error.message);
        return 1;
    }
    Outcome signal = {signalText, NULL};
    if (signalUri && !TSSignalWatch(handle, signalUri, take, &signal, NULL, &error)) {
        fprintf(stderr, "bus_time: %s\n", error.message);
        return 1;
    }
    int status = 0;
    for (int i = 0; i < count && status == 0; i++) {
        Outcome reply = {NULL, NULL};
        Outcome watch = {NULL, NULL};
        Outcome* awaited = signalUri ? &signal : watchUri ? &watch : &reply;
        if (watchUri)
            TSCallOneReply(handle, watchUri, watchPayload, take, &watch, NULL, NULL);
        gint64 start = g_get_monotonic_time();
        TSCallOneReply(handle, argv[arg], argv[arg + 1], signalUri ? ignore : take, &reply, NULL,
                       NULL);
        while (!awaited->payload)
            g_main_context_iteration(NULL, TRUE);
        printf("%.3f\n", (g_get_monotonic_time() - start) / 1000.0);
        while (watchUri && !reply.payload)
            g_main_context_iteration(NULL, TRUE);
        g_free(watch.payload);
        if (!signalUri && strstr(reply.payload, "\"returnValue\":false")) {
            fprintf(stderr, "bus_time: %s answered %s\n", argv[arg], reply.payload);
            status = 1;
        }
        g_free(reply.payload);
    }
    g_free(signal.payload);
    TSUnregister(handle, NULL);
    return status;
}
