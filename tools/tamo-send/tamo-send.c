/* tamo-send: call a bus method and print its replies, or print the signals of a category. */
#include "tamoservice.h"

#include <glib-unix.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct {
    GMainLoop* loop;
    TSHandle* handle;
    long wanted;  /* replies still to print; 0 means until interrupted */
    bool refused; /* a reply said "returnValue": false */
} Session;

/* Exit statuses: 1 a failure of tamo-send itself, 2 a bad command line, 3 (with -e) a reply
 * that says "returnValue": false. */
enum { EXIT_REFUSED = 3 };

static void usage(FILE* out, const char* argv0)
{
    fprintf(out,
            "Usage: %s [-e] [-n COUNT] URI [PAYLOAD]\n"
            "       %s [-e] [-n COUNT] -f FILE URI\n"
            "       %s -m URI\n"
            "\n"
            "Calls the bus method URI (quor://service/category/method) with the JSON PAYLOAD, an\n"
            "object or an array (default {}), and prints each reply payload on a line of its own.\n"
            "\n"
            "  -f FILE   read the payload from FILE (- for standard input), less one final\n"
            "            line end\n"
            "  -n COUNT  exit after COUNT replies (default 1; 0 waits until interrupted)\n"
            "  -e        exit with status 3 when a reply says \"returnValue\": false\n"
            "  -m        print the signals of the category URI (quor://service/category)\n"
            "  -h        show this help\n"
            "  --version show the version\n"
            "\n"
            "The bus is $TAMO_BUS_ADDRESS when set, otherwise the system bus.\n",
            argv0, argv0, argv0);
}

/* Valid JSON that is neither an object nor an array: no service takes such a payload. */
static bool is_scalar(const char* payload)
{
    json_tokener* tokener = json_tokener_new();
    json_object* value = json_tokener_parse_ex(tokener, payload, (int)strlen(payload) + 1);
    size_t length = strlen(payload);
    size_t used = MIN(json_tokener_get_parse_end(tokener), length);
    bool scalar = json_tokener_get_error(tokener) == json_tokener_success &&
                  strspn(payload + used, " \t\r\n") == length - used &&
                  !json_object_is_type(value, json_type_object) &&
                  !json_object_is_type(value, json_type_array);
    json_object_put(value);
    json_tokener_free(tokener);
    return scalar;
}

static bool says_refused(const char* payload)
{
    json_object* reply = json_tokener_parse(payload);
    json_object* value = NULL;
    bool refused = json_object_object_get_ex(reply, "returnValue", &value) &&
                   json_object_is_type(value, json_type_boolean) && !json_object_get_boolean(value);
    json_object_put(reply);
    return refused;
}

/* Drops one final line end, LF or CRLF, as a shell's $(cat FILE) would: an editor or echo adds
 * it, and the payload is not meant to carry it. */
static char* drop_line_end(char* text)
{
    size_t length = text ? strlen(text) : 0;
    if (length > 0 && text[length - 1] == '\n') {
        text[--length] = '\0';
        if (length > 0 && text[length - 1] == '\r')
            text[length - 1] = '\0';
    }
    return text;
}

/* The whole of FILE, or of standard input for "-", less one final line end; NULL with a message
 * on failure. */
static char* read_payload(const char* path)
{
    if (strcmp(path, "-") != 0) {
        char* text = NULL;
        g_autoptr(GError) gerror = NULL;
        if (!g_file_get_contents(path, &text, NULL, &gerror))
            fprintf(stderr, "tamo-send: %s\n", gerror->message);
        return drop_line_end(text);
    }
    GString* text = g_string_new(NULL);
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), stdin)) > 0)
        g_string_append_len(text, buffer, (gssize)n);
    if (ferror(stdin)) {
        fprintf(stderr, "tamo-send: cannot read standard input\n");
        g_string_free(text, TRUE);
        return NULL;
    }
    return drop_line_end(g_string_free(text, FALSE));
}

/* quor://service/... gives service. */
static char* service_of(const char* uri)
{
    const char* start = strstr(uri, "://");
    start = start ? start + 3 : uri;
    const char* end = strchr(start, '/');
    return end ? g_strndup(start, (gsize)(end - start)) : g_strdup(start);
}

static bool on_message(TSHandle* handle, TSMessage* message, void* data)
{
    (void)handle;
    Session* session = data;
    printf("%s\n", TSMessageGetPayload(message));
    fflush(stdout);
    if (says_refused(TSMessageGetPayload(message)))
        session->refused = true;
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
    bool monitor = false, strict = false;
    const char* file = NULL;
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("tamo-send %s\n", KEL_VERSION);
        return 0;
    }
    int option;
    while ((option = getopt(argc, argv, "ef:hmn:")) != -1) {
        switch (option) {
        case 'e':
            strict = true;
            break;
        case 'f':
            file = optarg;
            break;
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
    if (n_args < 1 || n_args > (monitor || file ? 1 : 2) || (monitor && file)) {
        usage(stderr, argv0);
        return 2;
    }
    const char* uri = argv[optind];
    g_autofree char* read = file ? read_payload(file) : NULL;
    if (file && !read)
        return 1;
    const char* payload = read ? read : n_args == 2 ? argv[optind + 1] : "{}";

    if (!monitor && is_scalar(payload)) {
        fprintf(stderr, "tamo-send: the payload must be a JSON object or array\n");
        return 1;
    }

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
    if (monitor) {
        /* Waiting on a service that is not there looks like a hang otherwise. */
        g_autofree char* service = service_of(uri);
        bool owned = true;
        if (TSServiceHasOwner(session.handle, service, &owned, NULL) && !owned)
            fprintf(stderr, "tamo-send: nobody owns %s now; waiting for its signals\n", service);
    }
    g_unix_signal_add(SIGINT, on_interrupt, &session);
    g_unix_signal_add(SIGTERM, on_interrupt, &session);
    g_main_loop_run(session.loop);
    TSUnregister(session.handle, NULL);
    g_main_loop_unref(session.loop);
    return strict && session.refused ? EXIT_REFUSED : 0;
}
