// PrivateBus: the emulator's own dbus-daemon, when no bus was given.
#include "PrivateBus.h"

#include "tamoservice.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace emulator
{

namespace
{
std::string markupEscape(const std::string& text)
{
    gchar* escaped = g_markup_escape_text(text.c_str(), -1);
    std::string result = escaped;
    g_free(escaped);
    return result;
}

// Runs in the child before dbus-daemon starts: the bus ends with the emulator, even a killed
// one, and takes with it the daemons it activated, which end when their bus goes.
void dieWithParent(gpointer parent)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != GPOINTER_TO_INT(parent))
        _exit(1);
}
} // namespace

PrivateBus::~PrivateBus()
{
    stop();
}

bool PrivateBus::start(const std::string& stateDir, const std::vector<std::string>& serviceDirs,
                       const std::map<std::string, std::string>& env, std::string& error)
{
    std::string config =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<!-- The emulator's private bus, open to the user who runs it. -->\n"
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:tmpdir=/tmp</listen>\n"
        "  <auth>EXTERNAL</auth>\n";
    for (const std::string& dir : serviceDirs)
        config += "  <servicedir>" + markupEscape(dir) + "</servicedir>\n";
    // The limits the bus library is written against, stated rather than left to defaults.
    config += "  <limit name=\"max_message_size\">" + std::to_string(TS_MAX_MESSAGE_SIZE) +
              "</limit>\n"
              "  <limit name=\"max_incoming_bytes\">133169152</limit>\n"
              "  <limit name=\"max_outgoing_bytes\">133169152</limit>\n";
    config += "  <policy context=\"default\">\n"
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "    <allow user=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n";
    std::string configPath = stateDir + "/bus.conf";
    if (!g_file_set_contents(configPath.c_str(), config.c_str(), -1, nullptr)) {
        error = "cannot write " + configPath;
        return false;
    }
    gchar* daemon = g_find_program_in_path("dbus-daemon");
    if (!daemon) {
        error = "dbus-daemon is not installed";
        return false;
    }
    gchar** envp = g_get_environ();
    envp = g_environ_unsetenv(envp, "TAMO_BUS_ADDRESS");
    for (const auto& [key, value] : env)
        envp = g_environ_setenv(envp, key.c_str(), value.c_str(), TRUE);
    std::string configArg = "--config-file=" + configPath;
    char* argv[] = {daemon, const_cast<char*>(configArg.c_str()), const_cast<char*>("--nofork"),
                    const_cast<char*>("--print-address=1"), nullptr};
    std::string logPath = stateDir + "/bus.log";
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    gint out = -1;
    GError* gerror = nullptr;
    bool spawned = g_spawn_async_with_pipes_and_fds(
        nullptr, argv, envp, G_SPAWN_DO_NOT_REAP_CHILD, dieWithParent, GINT_TO_POINTER(getpid()),
        -1, -1, log, nullptr, nullptr, 0, &m_pid, nullptr, &out, nullptr, &gerror);
    g_strfreev(envp);
    g_free(daemon);
    if (log >= 0)
        close(log);
    if (!spawned) {
        error = std::string("cannot start dbus-daemon: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    char c;
    while (read(out, &c, 1) == 1 && c != '\n')
        m_address += c;
    close(out);
    if (m_address.empty()) {
        error = "dbus-daemon printed no address (see " + logPath + ")";
        stop();
        return false;
    }
    return true;
}

void PrivateBus::stop()
{
    if (m_pid == 0)
        return;
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    g_spawn_close_pid(m_pid);
    m_pid = 0;
}

} // namespace emulator
