// nimbos-emulator as a program for tests.
#include "EmulatorProcess.h"

#include "TestBus.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <vector>

std::map<std::string, std::string> readEmulatorEnv(const std::string& path)
{
    std::map<std::string, std::string> env;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const std::string prefix = "export ";
        size_t equals = line.find('=');
        if (line.compare(0, prefix.size(), prefix) != 0 || equals == std::string::npos)
            continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        env[line.substr(prefix.size(), equals - prefix.size())] = value;
    }
    return env;
}

EmulatorProcess startEmulator(const std::string& program, const std::string& stateDir, bool ownBus,
                              const std::vector<std::string>& extraArgs,
                              const std::map<std::string, std::string>& extraEnv)
{
    EmulatorProcess running;
    std::string envPath = stateDir + "/env";
    g_unlink(envPath.c_str());
    gchar** envp = g_get_environ();
    if (ownBus)
        envp = g_environ_unsetenv(envp, "TAMO_BUS_ADDRESS");
    for (const auto& [name, value] : extraEnv)
        envp = g_environ_setenv(envp, name.c_str(), value.c_str(), TRUE);
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("--state-dir"),
                               const_cast<char*>(stateDir.c_str()),
                               const_cast<char*>("--time-scale"), const_cast<char*>("100")};
    for (const std::string& arg : extraArgs)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    GError* error = nullptr;
    EXPECT_TRUE(g_spawn_async(nullptr, argv.data(), envp,
                              GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL),
                              nullptr, nullptr, &running.pid, &error));
    g_strfreev(envp);
    if (error)
        g_error_free(error);
    EXPECT_TRUE(runUntil([&] { return g_file_test(envPath.c_str(), G_FILE_TEST_EXISTS); }, 10000));
    running.env = readEmulatorEnv(envPath);
    return running;
}

int stopEmulator(EmulatorProcess& running, int signum)
{
    kill(running.pid, signum);
    int status = 0;
    waitpid(running.pid, &status, 0);
    g_spawn_close_pid(running.pid);
    running.pid = 0;
    return status;
}
