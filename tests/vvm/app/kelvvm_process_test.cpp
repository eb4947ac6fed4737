// The kelvvm process as its callers see it: usage, options, properties, activation, idle quit,
// signals and exit statuses.
#include "KelVvmServiceApp.h"
#include "TestBus.h"
#include "tamoservice.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const char* const kUsage =
    "Runs the KEL Visual Voicemail service\n\n"
    "    Usage: kelvvm [-n|--noidle] [-h|--help] [-l|--log level] [-f|--folder folder]\n\n"
    "    Options:\n"
    "    -h    Show this help message (will exit)\n"
    "    -l    Set the log level (none, critical, error, warning, info, debug)\n"
    "    -f    Set the download folder\n"
    "    -n    Disable idle timer\n\n";

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// One kelvvm run with its standard output and error in files of a temporary folder.
class KelvvmRun
{
  public:
    KelvvmRun(std::vector<std::string> args, std::map<std::string, std::string> env = {})
    {
        gchar* dir = g_dir_make_tmp("kelvvm-XXXXXX", nullptr);
        m_dir = dir;
        g_free(dir);
        std::vector<char*> argv = {const_cast<char*>(KELVVM_PATH)};
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        gchar** envp = g_get_environ();
        envp = g_environ_setenv(envp, "QMLOG_STDERR", "1", TRUE);
        envp = g_environ_setenv(envp, "TAMO_SYSTEM_PROPERTIES", "/nonexistent.json", FALSE);
        envp = g_environ_setenv(envp, "KELVVM_CONFIG", "/nonexistent.conf", FALSE);
        for (const auto& [key, value] : env)
            envp = g_environ_setenv(envp, key.c_str(), value.c_str(), TRUE);
        m_out = open(outPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        m_err = open(errPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_TRUE(g_spawn_async(nullptr, argv.data(), envp, G_SPAWN_DO_NOT_REAP_CHILD, redirect,
                                  this, &m_pid, nullptr));
        g_strfreev(envp);
    }

    ~KelvvmRun()
    {
        if (m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
        close(m_err);
        remove(outPath().c_str());
        remove(errPath().c_str());
        g_rmdir(m_dir.c_str());
    }

    // The exit status, or -1 when the process is still running after `ms`.
    int wait(int ms = 5000)
    {
        runUntil(
            [&] {
                int status = 0;
                if (waitpid(m_pid, &status, WNOHANG) == m_pid)
                    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return m_status >= 0;
            },
            ms);
        return m_status;
    }

    void signal(int signum) { kill(m_pid, signum); }
    std::string out() const { return readFile(outPath()); }
    std::string err() const { return readFile(errPath()); }
    const std::string& dir() const { return m_dir; }

  private:
    static void redirect(gpointer data)
    {
        auto* run = static_cast<KelvvmRun*>(data);
        dup2(run->m_out, 1);
        dup2(run->m_err, 2);
    }
    std::string outPath() const { return m_dir + "/out"; }
    std::string errPath() const { return m_dir + "/err"; }

    std::string m_dir;
    int m_out = -1, m_err = -1;
    GPid m_pid = 0;
    int m_status = -1;
};

TEST(Options, HelpPrintsUsageAndTouchesNoBus)
{
    KelvvmRun run({"-h"}, {{"TAMO_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.out(), kUsage);
    EXPECT_FALSE(contains(run.err(), "setupService"));
}

TEST(Options, LogLevelWordsInAnyCase)
{
    for (const char* word : {"DEBUG", "debug", "Debug"}) {
        KelvvmRun run({"-l", word, "-h"});
        EXPECT_EQ(run.wait(), 0);
        EXPECT_TRUE(contains(run.err(), "Print Usage")) << word;
    }
    KelvvmRun unknown({"-l", "verbose", "-h"});
    EXPECT_EQ(unknown.wait(), 0);
    EXPECT_TRUE(contains(unknown.err(), "Setting logging level to verbose"));
    EXPECT_FALSE(contains(unknown.err(), "Print Usage"));

    KelvvmRun none({"--log", "none", "-h"});
    EXPECT_EQ(none.wait(), 0);
    EXPECT_FALSE(contains(none.err(), "Ending"));
    EXPECT_EQ(none.out(), kUsage);
}

TEST(PlatformVersion, DerivedFromTheVersionProperty)
{
    EXPECT_EQ(KelVvmServiceApp::derivePlatformVersion("Quor Nimbos 1.4.5", "2.0"), "1.4");
    EXPECT_EQ(KelVvmServiceApp::derivePlatformVersion("2.1", "2.0"), "2.1");
    EXPECT_EQ(KelVvmServiceApp::derivePlatformVersion("1.4.5.6", "2.0"), "1.4");
    EXPECT_EQ(KelVvmServiceApp::derivePlatformVersion("Quor Nimbos 3", "2.0"), "2.0");
    EXPECT_EQ(KelVvmServiceApp::derivePlatformVersion("", "2.0"), "2.0");
}

class ServiceTest : public ::testing::Test
{
  protected:
    void SetUp() override { m_bus = std::make_unique<TestBus>(); }
    bool waitForName()
    {
        return runUntil([] { return nameHasOwner("com.quor.kelvvm"); });
    }
    std::unique_ptr<TestBus> m_bus;
};

TEST_F(ServiceTest, StartsWithFolderAndPropertiesThenSigtermReleasesTheName)
{
    gchar* dir = g_dir_make_tmp("kelvvm-props-XXXXXX", nullptr);
    std::string props = std::string(dir) + "/props.json";
    std::ofstream(props) << "{\"com.quor.properties.version\":\"Quor Nimbos 1.4.5\","
                            "\"com.quor.properties.deviceNameShortBranded\":\"Pocket 3\"}";
    std::string folder = std::string(dir) + "/voice/kel";
    KelvvmRun run({"-l", "debug", "-f", folder}, {{"TAMO_SYSTEM_PROPERTIES", props}});
    ASSERT_TRUE(waitForName()) << run.err();
    EXPECT_TRUE(g_file_test(folder.c_str(), G_FILE_TEST_IS_DIR));
    std::string log = run.err();
    EXPECT_TRUE(contains(log, "Setting default download location to " + folder + "\n")) << log;
    EXPECT_TRUE(contains(log, "Device name: Pocket 3")) << log;
    EXPECT_TRUE(contains(log, "Platform version: 1.4\n")) << log;

    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_FALSE(nameHasOwner("com.quor.kelvvm"));
    log = run.err();
    EXPECT_TRUE(contains(log, "Handling signal 15")) << log;
    EXPECT_TRUE(contains(log, "cleanupService")) << log;
    EXPECT_TRUE(contains(log, "Ending kelvvm with return code 0")) << log;
    g_rmdir(folder.c_str());
    g_rmdir((std::string(dir) + "/voice").c_str());
    remove(props.c_str());
    g_rmdir(dir);
    g_free(dir);
}

TEST_F(ServiceTest, QuitsWhenIdleUnlessToldNotTo)
{
    // 120 s become 0.6 s.
    KelvvmRun idle({}, {{"KELVVM_TEST_TIME_SCALE", "200"}});
    EXPECT_EQ(idle.wait(10000), 0) << idle.err();

    KelvvmRun noIdle({"-n"}, {{"KELVVM_TEST_TIME_SCALE", "200"}});
    ASSERT_TRUE(waitForName());
    EXPECT_EQ(noIdle.wait(2000), -1) << "still serving after three idle periods";
    noIdle.signal(SIGINT);
    EXPECT_EQ(noIdle.wait(), 0);
}

TEST_F(ServiceTest, RegistrationFailureEndsWithAFailureStatus)
{
    TSHandle* squatter = nullptr;
    ASSERT_TRUE(TSRegister("com.quor.kelvvm", &squatter, nullptr));
    KelvvmRun run({});
    EXPECT_EQ(run.wait(), 1);
    EXPECT_TRUE(contains(run.err(), "Main loop error: Register Service failed")) << run.err();
    TSUnregister(squatter, nullptr);
}

struct Reply {
    std::string payload;
};

bool onReply(TSHandle*, TSMessage* message, void* context)
{
    static_cast<Reply*>(context)->payload = TSMessageGetPayload(message);
    return true;
}

TEST(Activation, PingIsEchoedByAnActivatedService)
{
    TestBus bus(
        {{"KELVVM_CONFIG", "/nonexistent.conf"}, {"TAMO_SYSTEM_PROPERTIES", "/nonexistent.json"}});
    TSHandle* client = nullptr;
    ASSERT_TRUE(TSRegisterAnonymous(&client, nullptr));
    ASSERT_TRUE(TSGmainAttach(client, nullptr, nullptr));
    for (const char* payload : {"{\"a\":1}", "{}"}) {
        Reply reply;
        ASSERT_TRUE(TSCall(client, "quor://com.quor.kelvvm/ping", payload, onReply, &reply, nullptr,
                           nullptr));
        ASSERT_TRUE(runUntil([&] { return !reply.payload.empty(); }, 10000));
        EXPECT_EQ(reply.payload, payload);
    }
    TSUnregister(client, nullptr);
}

} // namespace
