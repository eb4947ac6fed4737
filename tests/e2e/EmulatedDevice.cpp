// The device of a whole-system scenario.
#include "EmulatedDevice.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

std::string deviceConfiguration(const std::string& voicemail)
{
    std::string activities = std::string(KEL_SOURCE_DIR) + "/emulator/device/activities/";
    return "{\"db\":{\"file\":\"db.sqlite\"},"
           "\"telephony\":{\"imsi\":\"208101234567890\",\"mcc\":\"208\",\"mnc\":\"10\","
           "\"simState\":\"simready\"},"
           "\"connectionmanager\":{\"wan\":{\"state\":\"connected\",\"ipAddress\":\"127.0.0.1\"}},"
           "\"preferences\":{\"systemProperties\":{\"com.quor.properties.nduid\":"
           "\"0123456789abcdef0123456789abcdef01234567\"}},"
           "\"systemservice\":{\"preferences\":{\"uaString\":\"KelVvmE2E/1.0\"}},"
           "\"applicationManager\":{},\"hotspot\":{},"
           "\"voicemail\":" +
           voicemail +
           ","
           "\"activitymanager\":{\"activityFiles\":[\"" +
           activities + "simstatus.json\",\"" + activities + "messages-read.json\",\"" +
           activities + "messages-deleted.json\"]}}";
}

EmulatedDevice::EmulatedDevice(const std::string& program, const std::string& prefix)
    : m_program(program)
{
    gchar* dir = g_dir_make_tmp((prefix + "-XXXXXX").c_str(), nullptr);
    m_stateDir = dir;
    g_free(dir);
}

EmulatedDevice::~EmulatedDevice()
{
    if (m_emulator.pid)
        stop(SIGTERM);
    for (const auto& [name, value] : m_savedEnv) {
        if (value)
            g_setenv(name.c_str(), value->c_str(), TRUE);
        else
            g_unsetenv(name.c_str());
    }
    if (!::testing::Test::HasFailure())
        std::filesystem::remove_all(m_stateDir);
    else
        ADD_FAILURE() << "logs kept in " << m_stateDir << " (emulator.log, bus.log)";
}

void EmulatedDevice::configure(const std::string& text)
{
    m_config = m_stateDir + "/emulator.json";
    std::ofstream(m_config) << text;
}

void EmulatedDevice::start(const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env)
{
    std::vector<std::string> all = args;
    if (!m_config.empty())
        all.insert(all.begin(), {"--config", m_config});
    m_emulator = startEmulator(m_program, m_stateDir, true, all, env);
    ASSERT_FALSE(this->env("TAMO_BUS_ADDRESS").empty()) << "the emulator did not come up";
    adopt("TAMO_BUS_ADDRESS");
}

void EmulatedDevice::stop(int signum)
{
    stopEmulator(m_emulator, signum);
}

void EmulatedDevice::adopt(const std::string& name)
{
    if (!m_savedEnv.count(name)) {
        const char* before = g_getenv(name.c_str());
        m_savedEnv[name] = before ? std::optional<std::string>(before) : std::nullopt;
    }
    g_setenv(name.c_str(), env(name).c_str(), TRUE);
}

std::string EmulatedDevice::env(const std::string& name) const
{
    auto found = m_emulator.env.find(name);
    return found == m_emulator.env.end() ? "" : found->second;
}

std::map<std::string, std::uintmax_t> fileSizesIn(const std::string& folder)
{
    std::map<std::string, std::uintmax_t> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        files[entry.path().filename().string()] = entry.file_size(error);
    return files;
}
