// Emulator: reads the configuration, prepares the state folder and the bus, runs every server
// and writes DIR/env once all are ready.
#include "Emulator.h"

#include "ActivityManagerService.h"
#include "ApplicationManagerService.h"
#include "ConnectionManagerService.h"
#include "DbService.h"
#include "DeviceServer.h"
#include "HotspotServer.h"
#include "LinkServer.h"
#include "PageServer.h"
#include "PropertyServices.h"
#include "TelephonyService.h"
#include "VoicemailServer.h"
#include "qmlog.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace emulator
{

namespace
{

struct ServerContext {
    const DeviceContext& device;
    const std::string& configDir;
    const CarrierAccess& access;
    const std::string& pageDir;
};

using ServerFactory = std::unique_ptr<EmulatorServer> (*)(const JValue& section,
                                                          const ServerContext& context);

template <typename Service>
std::unique_ptr<EmulatorServer> device(const JValue& section, const ServerContext& context)
{
    return std::make_unique<DeviceServer>(std::make_unique<Service>(section, context.device));
}

std::unique_ptr<EmulatorServer> hotspot(const JValue& section, const ServerContext& context)
{
    return std::make_unique<HotspotServer>(section, context.device, context.access);
}

std::unique_ptr<EmulatorServer> voicemail(const JValue& section, const ServerContext& context)
{
    return std::make_unique<VoicemailServer>(section, context.device, context.access);
}

std::unique_ptr<EmulatorServer> link(const JValue&, const ServerContext& context)
{
    return std::make_unique<DeviceServer>(
        std::make_unique<LinkServer>(context.device, context.access.link));
}

std::unique_ptr<EmulatorServer> page(const JValue& section, const ServerContext& context)
{
    return std::make_unique<PageServer>(section, context.device, context.pageDir);
}

std::unique_ptr<EmulatorServer> activityManager(const JValue& section, const ServerContext& context)
{
    return std::make_unique<DeviceServer>(
        std::make_unique<ActivityManagerService>(section, context.device, context.configDir));
}

// Every server, by its configuration section, in start order: the activity manager last,
// since its activities call the others as soon as it runs (the page only watches and waits
// for a person). A carrier server is one more line.
const struct {
    const char* section;
    ServerFactory make;
} kServers[] = {
    {"db", device<DbService>},
    {"telephony", device<TelephonyService>},
    {"connectionmanager", device<ConnectionManagerService>},
    {"preferences", device<PreferencesService>},
    {"systemservice", device<SystemService>},
    {"applicationManager", device<ApplicationManagerService>},
    {"link", link},
    {"hotspot", hotspot},
    {"voicemail", voicemail},
    {"page", page},
    {"activitymanager", activityManager},
};

std::string shellQuote(const std::string& value)
{
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string absolute(const std::string& path)
{
    gchar* resolved = g_canonicalize_filename(path.c_str(), nullptr);
    std::string result = resolved;
    g_free(resolved);
    return result;
}

// The media folder of a kelvvm activated on the emulator's own bus, in the state folder.
const char* const kKelvvmMediaFolder = "media/kel/";

// Options that keep an activated daemon's files inside the state folder: nothing the
// emulator starts writes to the system's paths. The values are relative to the state folder.
const struct {
    const char* name;
    const char* option;
    const char* value;
} kActivationOptions[] = {
    {"com.quor.kelvvm", "-f", kKelvvmMediaFolder},
};

// Copies the activation files of `dirs` into `target`, adding the options above to the
// command line of the daemons they name; the bus then activates from `target` alone.
bool writeActivationFiles(const std::vector<std::string>& dirs, const std::string& target,
                          const std::string& stateDir, std::string& error)
{
    g_mkdir_with_parents(target.c_str(), 0755);
    const char* group = "D-BUS Service";
    for (const std::string& dir : dirs) {
        GDir* listing = g_dir_open(dir.c_str(), 0, nullptr);
        const char* entry = nullptr;
        while (listing && (entry = g_dir_read_name(listing))) {
            if (!g_str_has_suffix(entry, ".service"))
                continue;
            GKeyFile* keys = g_key_file_new();
            std::string source = dir + "/" + entry;
            gchar* name = nullptr;
            gchar* exec = nullptr;
            if (g_key_file_load_from_file(keys, source.c_str(), G_KEY_FILE_NONE, nullptr)) {
                name = g_key_file_get_string(keys, group, "Name", nullptr);
                exec = g_key_file_get_string(keys, group, "Exec", nullptr);
            }
            if (name && exec) {
                std::string command = exec;
                for (const auto& option : kActivationOptions) {
                    if (strcmp(option.name, name) == 0)
                        command += std::string(" ") + option.option + " " +
                                   shellQuote(stateDir + "/" + option.value);
                }
                g_key_file_set_string(keys, group, "Exec", command.c_str());
            }
            std::string copy = target + "/" + entry;
            bool saved = name && exec && g_key_file_save_to_file(keys, copy.c_str(), nullptr);
            g_free(name);
            g_free(exec);
            g_key_file_free(keys);
            if (!saved) {
                error = "cannot use the activation file " + source;
                g_dir_close(listing);
                return false;
            }
        }
        if (listing)
            g_dir_close(listing);
    }
    return true;
}

void logLine(const char* context, int level, const char* line, void* file)
{
    FILE* log = static_cast<FILE*>(file);
    fprintf(log, "%s[%d]: %s\n", context, level, line);
    fflush(log);
}

// What the bus library says (a lost bus, above all) belongs in emulator.log too.
void busLibraryLine(const gchar*, GLogLevelFlags, const gchar* message, gpointer)
{
    QmLogPrint(QmLogGetContext("nimbos-emulator"), QMLOG_LEVEL_WARNING, "%s", message);
}

} // namespace

Emulator::Emulator(EmulatorOptions options) : m_options(std::move(options))
{
    m_context.timeScale = m_options.timeScale;
}

Emulator::~Emulator()
{
    stop();
}

bool Emulator::prepareStateDir(std::string& error)
{
    if (m_options.stateDir.empty()) {
        GError* gerror = nullptr;
        gchar* dir = g_dir_make_tmp("nimbos-emulator-XXXXXX", &gerror);
        if (!dir) {
            error = gerror->message;
            g_error_free(gerror);
            return false;
        }
        m_context.stateDir = dir;
        g_free(dir);
    } else {
        m_context.stateDir = absolute(m_options.stateDir);
        if (g_mkdir_with_parents(m_context.stateDir.c_str(), 0755) != 0) {
            error = "cannot create " + m_context.stateDir;
            return false;
        }
    }
    g_mkdir_with_parents((m_context.stateDir + "/prefs").c_str(), 0755);
    return true;
}

bool Emulator::prepareCarrierAccess(std::string& error)
{
    if (m_options.tls) {
        if (!emu::link::prepareTlsFiles(m_context.stateDir + "/tls", m_tlsFiles, error))
            return false;
        m_access.tls = &m_tlsFiles;
    }
    if (!m_options.linkProfile.empty()) {
        emu::link::LinkProfile profile;
        if (!emu::link::LinkProfile::named(m_options.linkProfile, profile)) {
            error = "no link profile named " + m_options.linkProfile;
            return false;
        }
        m_link = std::make_unique<emu::link::LinkModel>(profile);
        m_access.link = m_link.get();
    }
    return true;
}

bool Emulator::writeSettings(const DeploymentSettings& settings, std::string& error)
{
    for (const char* file : {"kelvvm", "kelwisprd"}) {
        GKeyFile* keys = g_key_file_new();
        auto found = settings.find(file);
        if (found != settings.end()) {
            for (const auto& [group, values] : found->second) {
                for (const auto& [key, value] : values)
                    g_key_file_set_string(keys, group.c_str(), key.c_str(), value.c_str());
            }
        }
        std::string path = m_context.stateDir + "/" + file + ".conf";
        bool saved = g_key_file_save_to_file(keys, path.c_str(), nullptr);
        g_key_file_free(keys);
        if (!saved) {
            error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

bool Emulator::start(std::string& error)
{
    std::ifstream file(m_options.configPath);
    std::stringstream text;
    text << file.rdbuf();
    JDomParser parser;
    if (!file || !parser.parse(text.str(), JSchemaFragment("{\"type\":\"object\"}"))) {
        error = "cannot read the configuration " + m_options.configPath;
        return false;
    }
    m_config = parser.getDom();
    gchar* dir = g_path_get_dirname(absolute(m_options.configPath).c_str());
    m_configDir = dir;
    g_free(dir);
    if (!prepareStateDir(error))
        return false;

    FILE* log = fopen((m_context.stateDir + "/emulator.log").c_str(), "a");
    if (log) {
        QmLogSetCapture(logLine, log);
        g_log_set_handler("tamoservice", GLogLevelFlags(G_LOG_LEVEL_MASK), busLibraryLine, nullptr);
    }

    const std::string& state = m_context.stateDir;
    std::vector<std::pair<std::string, std::string>> env = {
        {"TAMO_SYSTEM_PROPERTIES", state + "/system-properties.json"},
        {"TAMO_PREFS_DIR", state + "/prefs"},
        {"KELVVM_CONFIG", state + "/kelvvm.conf"},
        {"KELWISPRD_CONFIG", state + "/kelwisprd.conf"},
    };
    JValue properties = m_config["preferences"]["systemProperties"];
    std::string propertiesText = properties.isObject() ? properties.stringify() : "{}";
    if (!g_file_set_contents(env[0].second.c_str(), propertiesText.c_str(), -1, nullptr)) {
        error = "cannot write " + env[0].second;
        return false;
    }

    const char* given = g_getenv("TAMO_BUS_ADDRESS");
    std::string address = given ? given : "";
    if (address.empty()) {
        std::vector<std::string> serviceDirs;
        JValue configured = m_config["bus"]["serviceDirs"];
        for (size_t i = 0; i < configured.arraySize(); i++)
            serviceDirs.push_back(absolute(m_configDir + "/" + configured[i].asString()));
        for (const std::string& extra : m_options.serviceDirs)
            serviceDirs.push_back(absolute(extra));
        std::string activationDir = state + "/services";
        if (!writeActivationFiles(serviceDirs, activationDir, state, error))
            return false;
        std::map<std::string, std::string> busEnv(env.begin(), env.end());
        if (!m_bus.start(state, {activationDir}, busEnv, error))
            return false;
        address = m_bus.address();
        g_setenv("TAMO_BUS_ADDRESS", address.c_str(), TRUE);
        env.push_back({"KELVVM_MEDIA_FOLDER", state + "/" + kKelvvmMediaFolder});
    }
    env.insert(env.begin(), {"TAMO_BUS_ADDRESS", address});

    DeploymentSettings settings;
    JValue configuredSettings = m_config["settings"];
    for (const std::string& fileName : configuredSettings.keys()) {
        JValue groups = configuredSettings[fileName];
        for (const std::string& group : groups.keys()) {
            for (const std::string& key : groups[group].keys())
                settings[fileName][group][key] = groups[group][key].asString();
        }
    }

    if (!prepareCarrierAccess(error))
        return false;
    if (m_access.tls) {
        // The clients verify the carrier's certificates against the emulator's CA alone.
        settings["kelvvm"]["tls"]["ca-file"] = m_tlsFiles.caFile;
        settings["kelwisprd"]["TLS"]["CAFile"] = m_tlsFiles.caFile;
        env.push_back({"NIMBOS_EMULATOR_CA_FILE", m_tlsFiles.caFile});
    }
    ServerContext serverContext{m_context, m_configDir, m_access, m_options.pageDir};
    try {
        for (const auto& entry : kServers) {
            m_servers.push_back(entry.make(m_config[entry.section], serverContext));
            if (!m_servers.back()->start(error)) {
                stop();
                return false;
            }
            for (const auto& line : m_servers.back()->envLines())
                env.push_back(line);
            m_servers.back()->addSettings(settings);
        }
    } catch (const std::exception& e) {
        error = e.what();
        stop();
        return false;
    }
    if (!writeSettings(settings, error)) {
        stop();
        return false;
    }

    env.push_back({"NIMBOS_EMULATOR_STATE_DIR", state});
    std::string envText;
    for (const auto& [key, value] : env)
        m_envLines.push_back("export " + key + "=" + shellQuote(value));
    // The build tree's tools (tamo-send), for the shell that reads DIR/env.
    if (!m_options.toolsDir.empty() && g_file_test(m_options.toolsDir.c_str(), G_FILE_TEST_IS_DIR))
        m_envLines.push_back("export PATH=" + shellQuote(m_options.toolsDir) + ":\"$PATH\"");
    for (const std::string& line : m_envLines)
        envText += line + "\n";
    // Written whole or not at all: its appearance tells a watcher that everything is ready.
    std::string envPath = state + "/env";
    if (!g_file_set_contents(envPath.c_str(), envText.c_str(), -1, nullptr)) {
        error = "cannot write " + envPath;
        stop();
        return false;
    }
    QMLOG(QmLogGetContext("nimbos-emulator"), QMLOG_LEVEL_INFO, "ready in %s", state.c_str());
    return true;
}

void Emulator::stop()
{
    while (!m_servers.empty()) {
        m_servers.back()->stop();
        m_servers.pop_back();
    }
    m_bus.stop();
}

} // namespace emulator
