// The floor for kelvvm's memory figure: a program that links and initializes the same libraries
// (bus client on the bus, JSON, logging, preferences, libcurl, GLib loop) and then idles.
#include "KelVvmLog.h"
#include "KelVvmUtils.h"
#include "tamoservice.h"

#include <curl/curl.h>
#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cstdio>

int main()
{
    gLogContext = QmLogGetContext("kelvvm-floor");
    curl_global_init(CURL_GLOBAL_ALL);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::string version;
    getTamoPrefSystemValue("com.quor.properties.version", version);
    JValue parsed = vtjsonParse("{\"a\":[1,2,3]}");
    TSHandle* handle = nullptr;
    TSError error;
    TSErrorInit(&error);
    if (!TSRegister("com.quor.kelvvm.floor", &handle, &error) ||
        !TSGmainAttach(handle, loop, &error)) {
        fprintf(stderr, "floor: %s\n", error.message);
        return 1;
    }
    g_unix_signal_add(
        SIGTERM,
        [](gpointer l) {
            g_main_loop_quit(static_cast<GMainLoop*>(l));
            return gboolean(G_SOURCE_REMOVE);
        },
        loop);
    g_main_loop_run(loop);
    TSUnregister(handle, nullptr);
    g_main_loop_unref(loop);
    curl_global_cleanup();
    return 0;
}
