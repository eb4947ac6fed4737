/* tamo-send: call a bus method and print its replies, or print the signals of a category. */
#include "tamoservice.h"

#include <glib-unix.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct {
    GMainLoop* loop;
    TSHandle* handle;
    long wanted; /* replies still to print; 0 means until interrupted */
} Session;

static void usage(FILE* out, const char* argv0)
{
    fprintf(out,
            "Usage: %s [-n COUNT] URI [PAYLOAD]\n"
            "       %s -m URI\n"
            "\n"
            "Calls the bus method URI (quor://service/category/method) with the JSON PAYLOAD\n"
            "(default {}) and prints each reply payload on a line of its own.\n"
            "\n"
            "  -n COUNT  exit after COUNT replies (default 1; 0 waits until interrupted)\n"
            "  -m        print the signals of the category URI (quor://service/category)\n"
            "  -h        show this help\n"
            "\n"
            "The bus is $TAMO_BUS_ADDRESS when set, otherwise the system bus.\n",
            argv0, argv0);
}

static bool on_message(TSHandle* handle, TSMessage* message, void* data)
{
    (void)handle;
    Session* session = data;
    printf("%s\n", TSMessageGetPayload(message));
    fflush(stdout);
    if ((session->wanted > 0 && --session->wanted == 0) || TSMessageIsFinal(message))
        g_main_loop_quit(session->loop);
    return true;
}

static gboolean on_interrupt(gpointer data)
{
    g_main_loop_quit(((Session*)data)->loop);
    return G_SOURCE_CONTINUE;
}

static int fail(const char* what, TSError* error)
{
    fprintf(stderr, "tamo-send: %s: %s\n", what, error->message);
    TSErrorFree(error);
    return 1;
}

int main(int argc, char** argv)
{
    g_autofree char* argv0 = g_path_get_basename(argv[0]);
    long count = 1;
    bool monitor = false;
    int option;
    while ((option = getopt(argc, argv, "hmn:")) != -1) {
        switch (option) {
        case 'h':
            usage(stdout, argv0);
            return 0;
        case 'm':
            monitor = true;
            break;
        case 'n': {
            char* end = NULL;
            count = strtol(optarg, &end, 10);
            if (!*optarg || *end || count < 0) {
                fprintf(stderr, "tamo-send: bad COUNT \"%s\"\n", optarg);
                return 2;
            }
            break;
        }
        default:
            usage(stderr, argv0);
            return 2;
        }
    }
    int n_args = argc - optind;
    if (n_args < 1 || n_args > (monitor ? 1 : 2)) {
        usage(stderr, argv0);
        return 2;
    }
    const char* uri = argv[optind];
    const char* payload = n_args == 2 ? argv[optind + 1] : "{}";

    Session session = {.loop = g_main_loop_new(NULL, FALSE), .wanted = monitor ? 0 : count};
    TSError error;
    TSErrorInit(&error);
    if (!TSRegisterAnonymous(&session.handle, &error))
        return fail("cannot reach the bus", &error);
    bool started = monitor
                       ? TSSignalWatch(session.handle, uri, on_message, &session, NULL, &error)
                       : TSCall(session.handle, uri, payload, on_message, &session, NULL, &error);
    if (!started || !TSGmainAttach(session.handle, session.loop, &error)) {
        int status = fail(uri, &error);
        TSUnregister(session.handle, NULL);
        g_main_loop_unref(session.loop);
        return status;
    }
    g_unix_signal_add(SIGINT, on_interrupt, &session);
    g_unix_signal_add(SIGTERM, on_interrupt, &session);
    g_main_loop_run(session.loop);
    TSUnregister(session.handle, NULL);
    g_main_loop_unref(session.loop);
    return 0;
}
