// nimbos-emulator: the device's platform services (and later the carrier's servers) on one
// machine, in the foreground until SIGINT or SIGTERM.
#include "Emulator.h"

#include <glib-unix.h>
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <signal.h>
#include <string>

namespace
{

// The emulator of the build tree reads the source's configuration and puts the build's tools on
// the PATH of DIR/env; an installed one reads the configuration installed with it.
// The folder of this program; empty when it cannot be told.
std::string programDir()
{
    gchar* exe = g_file_read_link("/proc/self/exe", nullptr);
    gchar* dir = exe ? g_path_get_dirname(exe) : nullptr;
    std::string found = dir ? dir : "";
    g_free(dir);
    g_free(exe);
    return found;
}

bool runsFromBuildTree()
{
    return programDir() == NIMBOS_EMULATOR_BUILD_DIR;
}

// The page's files: the source's beside the build tree, otherwise those installed with the
// program, found from its own place.
std::string defaultPageDir()
{
    if (runsFromBuildTree())
        return NIMBOS_EMULATOR_SOURCE_PAGE;
    return programDir() + "/" + NIMBOS_EMULATOR_PAGE_FROM_BIN;
}

const char* defaultConfig()
{
    static const bool build = runsFromBuildTree();
    return build ? NIMBOS_EMULATOR_SOURCE_CONFIG : NIMBOS_EMULATOR_INSTALLED_CONFIG;
}

void usage(const char* argv0)
{
    printf("Usage: %s [--config FILE] [--state-dir DIR] [--time-scale N] [--service-dir DIR]...\n"
           "          [--tls] [--link PROFILE]\n"
           "  --config FILE      the configuration (default %s)\n"
           "  --state-dir DIR    database, logs, settings and DIR/env (default: a fresh "
           "temporary folder)\n"
           "  --time-scale N     runs schedules N times faster\n"
           "  --service-dir DIR  D-Bus activation files for the emulator's own bus\n"
           "  --tls              the carrier servers over https, with a CA made in DIR/tls\n"
           "  --link PROFILE     the carrier servers behind a modelled link: lan, 4g, 3g, edge\n"
           "  --version          shows the version\n",
           argv0, defaultConfig());
}

gboolean onSignal(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char** argv)
{
    emulator::EmulatorOptions options;
    options.configPath = defaultConfig();
    options.pageDir = defaultPageDir();
    if (runsFromBuildTree())
        options.toolsDir = NIMBOS_EMULATOR_TOOLS_DIR;
    static const struct option longOptions[] = {{"config", required_argument, nullptr, 'c'},
                                                {"state-dir", required_argument, nullptr, 's'},
                                                {"time-scale", required_argument, nullptr, 't'},
                                                {"service-dir", required_argument, nullptr, 'd'},
                                                {"tls", no_argument, nullptr, 'T'},
                                                {"link", required_argument, nullptr, 'l'},
                                                {"help", no_argument, nullptr, 'h'},
                                                {"version", no_argument, nullptr, 'V'},
                                                {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "c:s:t:d:h", longOptions, nullptr)) != -1) {
        switch (option) {
        case 'c':
            options.configPath = optarg;
            break;
        case 's':
            options.stateDir = optarg;
            break;
        case 't': {
            char* end = nullptr;
            options.timeScale = strtod(optarg, &end);
            if (*end || !(options.timeScale > 0)) {
                fprintf(stderr, "nimbos-emulator: --time-scale needs a positive number\n");
                return 2;
            }
            break;
        }
        case 'd':
            options.serviceDirs.push_back(optarg);
            break;
        case 'T':
            options.tls = true;
            break;
        case 'l':
            options.linkProfile = optarg;
            break;
        case 'h':
            usage(argv[0]);
            return 0;
        case 'V':
            printf("nimbos-emulator %s\n", KEL_VERSION);
            return 0;
        default:
            usage(argv[0]);
            return 2;
        }
    }

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, onSignal, loop);
    g_unix_signal_add(SIGTERM, onSignal, loop);
    // A client that goes away while answered must not kill the emulator.
    signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        emulator::Emulator emulator(options);
        std::string error;
        if (!emulator.start(error)) {
            fprintf(stderr, "nimbos-emulator: %s\n", error.c_str());
            status = 1;
        } else {
            for (const std::string& line : emulator.envLines())
                printf("%s\n", line.c_str());
            fflush(stdout);
            g_main_loop_run(loop);
        }
    }
    g_main_loop_unref(loop);
    return status;
}
