/* Tests of the common-services debug output: level rule, checks, hex dumps and outputs. */
#include "csdebug.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

struct Captured {
    std::vector<std::pair<int, std::string>> lines;
};

void captureLine(int level, const char* line, void* user)
{
    static_cast<Captured*>(user)->lines.emplace_back(level, line);
}

class CsDebug : public ::testing::Test
{
  protected:
    void SetUp() override { DebugFinalize(); }
    void TearDown() override
    {
        DebugSetCapture(nullptr, nullptr);
        DebugFinalize();
    }
    void capture() { DebugSetCapture(captureLine, &captured_); }

    Captured captured_;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tempPath(const char* name)
{
    return testing::TempDir() + name + std::to_string(getpid());
}

TEST_F(CsDebug, LevelRulePrintsLinesAtOrAboveTheMinimumLevel)
{
    capture();
    ASSERT_TRUE(DebugSetProperty(kDebugPropertyMinimumLevel, kDebugLevelError));
    DebugPrintF(kDebugLevelWarning, "dropped %d", 1);
    DebugPrintF(kDebugLevelError - 1, "dropped just below");
    DebugPrintF(kDebugLevelError, "kept %s\n", "at the level");
    DebugPrintF(kDebugLevelTragic, "kept above");
    ASSERT_EQ(captured_.lines.size(), 2u);
    EXPECT_EQ(captured_.lines[0],
              std::make_pair(int(kDebugLevelError), std::string("kept at the level")));
    EXPECT_EQ(captured_.lines[1].second, "kept above");
}

TEST_F(CsDebug, LevelRuleDefaultsToChattyAndFinalizeRestoresIt)
{
    capture();
    DebugPrintF(kDebugLevelChatty, "chatty by default");
    DebugSetProperty(kDebugPropertyMinimumLevel, kDebugLevelTragic);
    DebugFinalize();
    DebugPrintF(kDebugLevelChatty, "chatty after finalize");
    ASSERT_EQ(captured_.lines.size(), 2u);
    EXPECT_EQ(captured_.lines[1].second, "chatty after finalize");
}

TEST_F(CsDebug, PrintAssertLogsAFailedCheckAndReturnsItsCondition)
{
    capture();
    EXPECT_TRUE(DebugPrintAssert(true, "pSession", 0, "Unit.c", 12, "fn"));
    EXPECT_TRUE(captured_.lines.empty());

    EXPECT_FALSE(DebugPrintAssert(false, "(res == CURLE_OK)", 7, "Unit.c", 34, "connect"));
    ASSERT_EQ(captured_.lines.size(), 1u);
    EXPECT_EQ(captured_.lines[0].first, kDebugLevelAssert);
    EXPECT_EQ(captured_.lines[0].second,
              "### check \"(res == CURLE_OK)\" failed (value 7) at Unit.c:34 in connect()");
}

TEST_F(CsDebug, PrintAssertFollowsTheLevelRule)
{
    capture();
    DebugSetProperty(kDebugPropertyMinimumLevel, kDebugLevelError);
    EXPECT_FALSE(DebugPrintAssert(false, "hidden", 0, "Unit.c", 1, "fn"));
    EXPECT_TRUE(captured_.lines.empty());
}

TEST_F(CsDebug, HexDumpShowsSixteenBytesPerLineWithText)
{
    capture();
    const char data[] = "GET / HTTP/1.0\r\n\x01Z";
    DebugHexDump(kDebugLevelChatty, data, sizeof(data) - 1);
    ASSERT_EQ(captured_.lines.size(), 2u);
    EXPECT_EQ(captured_.lines[0].second,
              "00000000  47 45 54 20 2f 20 48 54 54 50 2f 31 2e 30 0d 0a "
              "|GET / HTTP/1.0..|");
    EXPECT_EQ(captured_.lines[1].second,
              "00000010  01 5a                                           "
              "|.Z|");
}

TEST_F(CsDebug, HexDumpStopsAtTheLimitProperty)
{
    capture();
    std::string data(40, 'a');
    EXPECT_FALSE(DebugSetProperty(kDebugPropertyHexDumpLimit, -1));
    ASSERT_TRUE(DebugSetProperty(kDebugPropertyHexDumpLimit, 20));
    DebugHexDump(kDebugLevelInfo, data.data(), data.size());
    ASSERT_EQ(captured_.lines.size(), 3u);
    EXPECT_EQ(captured_.lines[1].second.substr(0, 16), "00000010  61 61 ");
    EXPECT_EQ(captured_.lines[1].second.substr(58), "|aaaa|");
    EXPECT_EQ(captured_.lines[2].second, "... 20 more bytes not shown");
}

TEST_F(CsDebug, FileOutputAppendsLinesWithTheirLevelName)
{
    std::string path = tempPath("csdebug-file-");
    std::remove(path.c_str());
    ASSERT_TRUE(DebugInitialize(kDebugOutputFile, path.c_str(), 10));
    DebugPrintF(kDebugLevelError, "first %d\n", 1);
    DebugPrintF(kDebugLevelChatty, "second");
    DebugFinalize();
    ASSERT_TRUE(DebugInitialize(kDebugOutputFile, path.c_str(), 10));
    DebugPrintF(kDebugLevelInfo, "third");
    DebugFinalize();

    std::string text = readFile(path);
    EXPECT_NE(text.find("[error] first 1\n"), std::string::npos);
    EXPECT_NE(text.find("[chatty] second\n"), std::string::npos);
    EXPECT_NE(text.find("[info] third\n"), std::string::npos);
    EXPECT_LT(text.find("first"), text.find("third"));
    std::remove(path.c_str());
}

TEST_F(CsDebug, FileOutputStartsANewFileBeyondItsCap)
{
    std::string path = tempPath("csdebug-cap-");
    std::string oldPath = path + ".old";
    std::remove(path.c_str());
    std::remove(oldPath.c_str());
    ASSERT_TRUE(DebugInitialize(kDebugOutputFile, path.c_str(), 1));
    std::string chunk(1000, 'x');
    for (int i = 0; i < 1100; i++)
        DebugPrintF(kDebugLevelInfo, "%s", chunk.c_str());
    DebugPrintF(kDebugLevelInfo, "last line");
    DebugFinalize();

    std::string old = readFile(oldPath);
    std::string current = readFile(path);
    EXPECT_GE(old.size(), 1024u * 1024u);
    EXPECT_LT(current.size(), 1024u * 1024u);
    EXPECT_NE(current.find("last line"), std::string::npos);
    EXPECT_EQ(old.find("last line"), std::string::npos);
    std::remove(path.c_str());
    std::remove(oldPath.c_str());
}

TEST_F(CsDebug, InitializeRefusesAFileThatCannotBeOpenedAndKeepsTheOutput)
{
    std::string path = tempPath("csdebug-keep-");
    std::remove(path.c_str());
    ASSERT_TRUE(DebugInitialize(kDebugOutputFile, path.c_str(), 0));
    EXPECT_FALSE(DebugInitialize(kDebugOutputFile, "/nonexistent-dir/x.log", 0));
    EXPECT_FALSE(DebugInitialize(kDebugOutputFile, nullptr, 0));
    DebugPrintF(kDebugLevelInfo, "still here");
    DebugFinalize();
    EXPECT_NE(readFile(path).find("still here"), std::string::npos);
    std::remove(path.c_str());
}

TEST_F(CsDebug, PlatformLogGoesToStandardErrorForADeveloper)
{
    setenv("CSDEBUG_STDERR", "1", 1);
    ASSERT_TRUE(DebugInitialize(kDebugOutputPlatformLog, "com.quor.test", 0));
    unsetenv("CSDEBUG_STDERR");
    testing::internal::CaptureStderr();
    DebugPrintF(kDebugLevelNotice, "to the terminal");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[notice] to the terminal\n"), std::string::npos);
}

} // namespace

TEST(CsDebugLevelNames, EveryStepNameReadsAsItsLevelAndNothingElseDoes)
{
    const std::pair<const char*, int> steps[] = {
        {"chatty", 100},   {"verbose", 500},   {"trace", 800},   {"info", 1000},
        {"notice", 3000},  {"warning", 5000},  {"assert", 6000}, {"require", 7000},
        {"error", 8000},   {"critical", 9000}, {"alert", 10000}, {"emergency", 11000},
        {"tragic", 12000},
    };
    for (const auto& [name, level] : steps) {
        int read = -1;
        EXPECT_TRUE(DebugLevelFromName(name, &read)) << name;
        EXPECT_EQ(read, level) << name;
    }
    for (const char* other : {"Chatty", "debug", "none", "", "error ", "8000"}) {
        int kept = 42;
        EXPECT_FALSE(DebugLevelFromName(other, &kept)) << other;
        EXPECT_EQ(kept, 42) << other;
    }
    int kept = 42;
    EXPECT_FALSE(DebugLevelFromName(nullptr, &kept));
}

TEST_F(CsDebug, ControlCharactersInALineAreEscapedSoThatNoLineCanBeForged)
{
    capture();
    DebugPrintF(kDebugLevelError, "Received: %s\n", "HTTP/1.0 200 OK\r\n[error] forged\x1b[2J\tx");
    ASSERT_EQ(captured_.lines.size(), 1u);
    EXPECT_EQ(captured_.lines[0].second,
              "Received: HTTP/1.0 200 OK\\r\\n[error] forged\\x1b[2J\\tx");

    std::string path = tempPath("csdebug-escape-");
    DebugSetCapture(nullptr, nullptr);
    ASSERT_TRUE(DebugInitialize(kDebugOutputFile, path.c_str(), 0));
    DebugPrintF(kDebugLevelError, "one\nline");
    DebugFinalize();
    std::string text = readFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("one\\nline"), std::string::npos) << text;
}

// A secret never reaches a line or a hex dump, however the text around it reads.
TEST_F(CsDebug, SecretsAreMaskedInEveryLineAndHexDump)
{
    capture();
    const char* secrets[] = {"pa&ss", "pa%26ss"};
    DebugSetSecrets(secrets, 2);
    DebugPrintF(kDebugLevelChatty, "%s",
                "XML Data UserName=u&Password=pa&ss&FNAME=0 <echo>pa%26ss</echo>");
    std::string dumped = "0123456789abcdpa&ss";
    DebugHexDump(kDebugLevelChatty, dumped.data(), dumped.size());
    ASSERT_EQ(captured_.lines.size(), 3u);
    EXPECT_EQ(captured_.lines[0].second,
              "XML Data UserName=u&Password=****&FNAME=0 <echo>****</echo>");
    std::string all;
    for (const auto& line : captured_.lines)
        all += line.second + "\n";
    EXPECT_EQ(all.find("&ss"), std::string::npos) << all;
    // The secret straddles two dump lines: neither its bytes nor its text show.
    EXPECT_EQ(all.find("70 61"), std::string::npos) << all;
    EXPECT_EQ(all.find("73 73"), std::string::npos) << all;
    DebugSetSecrets(nullptr, 0);
    DebugPrintF(kDebugLevelChatty, "%s", "pa&ss");
    EXPECT_EQ(captured_.lines.back().second, "pa&ss");
}
