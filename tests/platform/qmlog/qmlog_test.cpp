// Tests of qmlog: levels, the line prefix, the capture hook, sinks and hex dumps.
#include "qmlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

struct Line {
    std::string context;
    int level;
    std::string text;
};

class Captured : public testing::Test
{
  protected:
    void SetUp() override { QmLogSetCapture(&Captured::hook, &m_lines); }
    void TearDown() override { QmLogSetCapture(nullptr, nullptr); }

    static void hook(const char* context, int level, const char* line, void* user)
    {
        static_cast<std::vector<Line>*>(user)->push_back({context, level, line});
    }

    std::vector<Line> m_lines;
};

TEST(Context, SameNameGivesSameContext)
{
    QmLogContext* a = QmLogGetContext("ctx-a");
    EXPECT_EQ(a, QmLogGetContext("ctx-a"));
    EXPECT_NE(a, QmLogGetContext("ctx-b"));
    EXPECT_STREQ("ctx-a", QmLogContextName(a));
    EXPECT_EQ(QMLOG_DEFAULT_LEVEL, QmLogGetLevel(QmLogGetContext("ctx-fresh")));
}

TEST(Context, ConcurrentFirstUseMakesOneContext)
{
    std::vector<QmLogContext*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); i++)
        threads.emplace_back([&seen, i] { seen[i] = QmLogGetContext("ctx-raced"); });
    for (auto& thread : threads)
        thread.join();
    for (QmLogContext* context : seen)
        EXPECT_EQ(QmLogGetContext("ctx-raced"), context);
}

TEST_F(Captured, LinePrintsOnlyUpToContextLevel)
{
    QmLogContext* context = QmLogGetContext("levels");
    QmLogSetLevel(context, QMLOG_LEVEL_WARNING);
    QmLogPrint(context, QMLOG_LEVEL_NOTICE, "dropped");
    QmLogPrint(context, QMLOG_LEVEL_WARNING, "kept %d", 4);
    QmLogPrint(context, QMLOG_LEVEL_CRITICAL, "kept %d", 2);
    ASSERT_EQ(2u, m_lines.size());
    EXPECT_EQ("levels", m_lines[0].context);
    EXPECT_EQ(QMLOG_LEVEL_WARNING, m_lines[0].level);
    EXPECT_EQ("kept 4", m_lines[0].text);
    EXPECT_EQ("kept 2", m_lines[1].text);
    EXPECT_FALSE(QmLogIsEnabled(context, QMLOG_LEVEL_INFO));
    EXPECT_TRUE(QmLogIsEnabled(context, QMLOG_LEVEL_ERROR));
}

TEST_F(Captured, LevelNonePrintsNothing)
{
    QmLogContext* context = QmLogGetContext("silent");
    QmLogSetLevel(context, QMLOG_LEVEL_NONE);
    QmLogPrint(context, QMLOG_LEVEL_CRITICAL, "dropped");
    QmLogSetLevel(context, QMLOG_LEVEL_DEBUG);
    QmLogPrint(context, QMLOG_LEVEL_NONE, "dropped too");
    EXPECT_TRUE(m_lines.empty());
}

TEST_F(Captured, MacroPrefixesFunctionAndLine)
{
    QmLogContext* context = QmLogGetContext("macro");
    int line = __LINE__ + 1;
    QMLOG(context, QMLOG_LEVEL_ERROR, "value %s", "x");
    QMLOG(context, QMLOG_LEVEL_ERROR, "no arguments");
    ASSERT_EQ(2u, m_lines.size());
    EXPECT_EQ("(TestBody:" + std::to_string(line) + ") value x", m_lines[0].text);
    EXPECT_EQ("(TestBody:" + std::to_string(line + 1) + ") no arguments", m_lines[1].text);
}

TEST_F(Captured, LongLineIsNotTruncated)
{
    std::string text(3000, 'q');
    QmLogPrint(QmLogGetContext("long"), QMLOG_LEVEL_ERROR, "%s!", text.c_str());
    ASSERT_EQ(1u, m_lines.size());
    EXPECT_EQ(text + "!", m_lines[0].text);
}

TEST_F(Captured, DumpShowsOffsetHexAndText)
{
    QmLogContext* context = QmLogGetContext("dump");
    const char data[] = "0123456789ABCDEF\x01\x7f"
                        "ab";
    QmLogDumpData(context, QMLOG_LEVEL_INFO, data, 20);
    ASSERT_EQ(2u, m_lines.size());
    EXPECT_EQ("00000000  30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  0123456789ABCDEF",
              m_lines[0].text);
    EXPECT_EQ("00000010  01 7f 61 62" + std::string(12 * 3 + 1, ' ') + " ..ab", m_lines[1].text);
    EXPECT_EQ(QMLOG_LEVEL_INFO, m_lines[1].level);
}

TEST_F(Captured, DumpRespectsLevelAndEmptyData)
{
    QmLogContext* context = QmLogGetContext("dump-quiet");
    QmLogDumpData(context, QMLOG_LEVEL_DEBUG, "abc", 3);
    QmLogDumpData(context, QMLOG_LEVEL_INFO, "abc", 0);
    EXPECT_TRUE(m_lines.empty());
}

TEST(Sink, StderrLineNamesContext)
{
    QmLogSetSink(QMLOG_SINK_STDERR);
    testing::internal::CaptureStderr();
    QmLogPrint(QmLogGetContext("to-stderr"), QMLOG_LEVEL_ERROR, "hello %d", 7);
    EXPECT_EQ("to-stderr: hello 7\n", testing::internal::GetCapturedStderr());
    QmLogSetSink(QMLOG_SINK_SYSLOG);
}

// A line for a system log that is not there goes to standard error instead of nowhere.
TEST(Sink, StderrWhenNoSystemLogListens)
{
    QmLogSetSink(QMLOG_SINK_SYSLOG);
    QmLogTestSetSyslogSocket("/nonexistent/log");
    testing::internal::CaptureStderr();
    QmLogPrint(QmLogGetContext("no-syslog"), QMLOG_LEVEL_ERROR, "still seen");
    EXPECT_EQ("no-syslog: still seen\n", testing::internal::GetCapturedStderr());

    char dir[] = "/tmp/qmlog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/log";
    int listener = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    QmLogTestSetSyslogSocket(path.c_str());
    testing::internal::CaptureStderr();
    QmLogPrint(QmLogGetContext("no-syslog"), QMLOG_LEVEL_ERROR, "for the system log");
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    QmLogTestSetSyslogSocket(nullptr);
    close(listener);
    unlink(path.c_str());
    rmdir(dir);
}

// The environment is read at the first context, so it needs a fresh process.
TEST(Sink, EnvironmentSelectsStderr)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("QMLOG_STDERR", "1", 1);
    EXPECT_EXIT(
        {
            QmLogPrint(QmLogGetContext("from-env"), QMLOG_LEVEL_ERROR, "seen");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "from-env: seen");
    unsetenv("QMLOG_STDERR");
}

} // namespace
