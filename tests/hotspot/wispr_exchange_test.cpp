/* Tests of the exchanges with the carrier (connectivity check, account creation), the saved
 * account and the settings file. */
#include "LogCapture.h"
#include "RawServer.h"
#include "TestSettings.h"
#include "WISPrService.h"
#include "tpprefs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string str(const char* value)
{
    return value ? value : "<null>";
}

const char kUnused[] = "http://unused.invalid";

class WisprExchange : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        WISPrSetExchangeTimeoutsForTest(1000, 1000);
        std::memset(&record_, 0, sizeof(record_));
        gpAuthInfo = &record_;
    }
    void TearDown() override
    {
        gpAuthInfo = nullptr;
        WISPrReinitAuthInfo(&record_);
    }

    WISPrAuthInfo record_;
};

struct Verdict {
    const char* name;
    const char* reply;
    bool passes;
    const char* logged;
};

class WisprConnectivity : public WisprExchange, public ::testing::WithParamInterface<Verdict>
{
};

TEST_P(WisprConnectivity, PassesOnlyWhenTheAnswerPrecedesAnyNon200StatusLine)
{
    LogCapture log;
    auto check = RawServer::replying(GetParam().reply);
    TestSettings settings(check.target() + "/ignored/path", kUnused);
    EXPECT_EQ(WISPrCheckConnectivity(&record_), GetParam().passes);
    EXPECT_TRUE(log.has(GetParam().logged));
    ASSERT_EQ(check.requests().size(), 1u);
    EXPECT_EQ(check.requests()[0], "GET /4o.zzz HTTP/1.0\r\n"
                                   "User-Agent: RIR-2.0.0-Quor\r\n"
                                   "Host: 127.0.0.1:" +
                                       std::to_string(check.port()) +
                                       "\r\n"
                                       "Accept: */*\r\n"
                                       "\r\n");
}

const char kSucceeded[] = "Found expected response. Connectivity check succeeded";
const char kNot200[] = "Not a HTTP 200 OK response. Connectivity check failed";
const char kNoAnswer[] = "No expected response. Connectivity check failed";

INSTANTIATE_TEST_SUITE_P(
    Replies, WisprConnectivity,
    ::testing::Values(
        Verdict{"Ok", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nABCd", true, kSucceeded},
        Verdict{"OkHttp10", "HTTP/1.0 200 OK\r\n\r\n<p>ABCd</p>\r\n", true, kSucceeded},
        Verdict{"AnswerWithoutStatusLine", "ABCd\r\n", true, kSucceeded},
        Verdict{"OkWithoutAnswer", "HTTP/1.1 200 OK\r\n\r\nhello\r\n", false, kNoAnswer},
        Verdict{"RedirectCarryingTheAnswer",
                "HTTP/1.1 302 Found\r\nLocation: http://portal/?ABCd\r\n\r\nABCd", false, kNot200},
        Verdict{"AnswerBeforeAStatusLine", "ABCd\r\nHTTP/1.1 500 Oops\r\n", true, kSucceeded},
        Verdict{"ServerError", "HTTP/1.0 503 Service Unavailable\r\n\r\n", false, kNot200},
        Verdict{"EmptyReply", "", false, kNoAnswer}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WisprExchange, ConnectivityCheckFailsWhenTheExchangeFails)
{
    LogCapture log;
    {
        TestSettings settings("http://127.0.0.1:1", kUnused);
        EXPECT_FALSE(WISPrCheckConnectivity(&record_));
        EXPECT_TRUE(log.hasCheck("pReply"));
    }
    {
        // Silence until the receive time-out.
        auto check = RawServer::replying("", RawServer::After::KeepOpen);
        TestSettings settings(check.target(), kUnused);
        EXPECT_FALSE(WISPrCheckConnectivity(&record_));
    }
    {
        TestSettings settings("", kUnused);
        EXPECT_FALSE(WISPrCheckConnectivity(&record_));
        EXPECT_TRUE(log.hasCheck("pConnectivityCheckHost"));
    }
}

TEST_F(WisprExchange, ConnectivityCheckLeavesThroughTheRecordsInterface)
{
    auto check = RawServer::replying("HTTP/1.1 200 OK\r\n\r\nABCd");
    TestSettings settings(check.target(), kUnused);
    record_.pInterface = strdup("127.0.0.1");
    EXPECT_TRUE(WISPrCheckConnectivity(&record_));
    free(record_.pInterface);
    // An address this machine does not hold: the bind fails, so the check must too.
    record_.pInterface = strdup("192.0.2.1");
    EXPECT_FALSE(WISPrCheckConnectivity(&record_));
    EXPECT_EQ(check.requests().size(), 1u);
}

const char kAccountReply[] = "HTTP/1.0 200 OK\r\n"
                             "Content-Type: application/xml\r\n"
                             "\r\n"
                             "<?xml version=\"1.0\"?>\r\n"
                             "<account>\r\n"
                             "<m_response>kel-0612345678</m_response>\r\n"
                             "<P_RESPONSE>s3cr3t</P_RESPONSE>\r\n"
                             "<c_response>OK</c_response>\r\n"
                             "</account>\r\n";

TEST_F(WisprExchange, AccountCreationFillsTheRecordFromTheCarrier)
{
    LogCapture log;
    auto carrier = RawServer::replying(kAccountReply);
    TestSettings settings(kUnused, carrier.target());
    record_.pWanIpAddress = strdup("127.0.0.1");
    record_.pUsername = strdup("stale");
    EXPECT_TRUE(WISPrCreateKelAccount());
    EXPECT_EQ(str(record_.pUsername), "kel-0612345678");
    EXPECT_EQ(str(record_.pPassword), "s3cr3t");
    EXPECT_TRUE(log.has("No saved account. Creating KEL account..."));
    EXPECT_TRUE(log.has("m_response: kel-0612345678"));
    // The text stays; the password never reaches the log.
    EXPECT_TRUE(log.has("p_response: ****"));
    EXPECT_FALSE(log.has("s3cr3t"));
    EXPECT_TRUE(log.has("c_response: OK"));
    ASSERT_EQ(carrier.requests().size(), 1u);
    EXPECT_EQ(carrier.requests()[0], "GET /cgi-bin/abcd/jtranspa HTTP/1.0\r\n"
                                     "User-Agent: RIR-2.0.0-Quor\r\n"
                                     "Accept: application/xml\r\n"
                                     "\r\n");
}

TEST_F(WisprExchange, AccountCreationNeedsTheWanAddress)
{
    LogCapture log;
    auto carrier = RawServer::replying(kAccountReply);
    TestSettings settings(kUnused, carrier.target());
    EXPECT_FALSE(WISPrCreateKelAccount());
    record_.pWanIpAddress = strdup("");
    EXPECT_FALSE(WISPrCreateKelAccount());
    EXPECT_EQ(log.count("check \"gpAuthInfo->pWanIpAddress\" failed"), 2);
    EXPECT_TRUE(carrier.requests().empty());

    // Bound to the WAN address: one this machine does not hold cannot reach the carrier.
    free(record_.pWanIpAddress);
    record_.pWanIpAddress = strdup("192.0.2.1");
    EXPECT_FALSE(WISPrCreateKelAccount());
    EXPECT_TRUE(carrier.requests().empty());
    EXPECT_EQ(record_.pUsername, nullptr);

    gpAuthInfo = nullptr;
    EXPECT_FALSE(WISPrCreateKelAccount());
    EXPECT_TRUE(log.hasCheck("gpAuthInfo"));
}

TEST_F(WisprExchange, AnIncompleteAccountReplyIsNoAccountAndLeavesNoStaleValue)
{
    // Each reply carries only one of the two; the record held an older pair.
    for (const char* reply : {"HTTP/1.0 200 OK\r\n\r\n<m_response>u</m_response>\r\n"
                              "<p_response></p_response>\r\n",
                              "HTTP/1.0 200 OK\r\n\r\n<p_response>p</p_response>\r\n"}) {
        auto carrier = RawServer::replying(reply);
        TestSettings settings(kUnused, carrier.target());
        record_.pWanIpAddress = strdup("127.0.0.1");
        record_.pUsername = strdup("old-user");
        record_.pPassword = strdup("old-password");
        EXPECT_FALSE(WISPrCreateKelAccount()) << reply;
        EXPECT_EQ(record_.pUsername, nullptr) << reply;
        EXPECT_EQ(record_.pPassword, nullptr) << reply;
        WISPrReinitAuthInfo(&record_);
    }
}

TEST(WisprSettings, ComeFromTheKeyFileNamedByTheEnvironment)
{
    std::string path = testing::TempDir() + "kelwisprd-env-" + std::to_string(getpid()) + ".conf";
    std::ofstream(path) << "# deployment\n[Endpoints]\nConnectivityCheckHost=http://c:81\n"
                        << "AccountCreationHost=  \n";
    setenv("KELWISPRD_CONFIG", path.c_str(), 1);
    EXPECT_TRUE(WISPrLoadSettings(nullptr));
    unsetenv("KELWISPRD_CONFIG");
    EXPECT_EQ(str(WISPrGetConnectivityCheckHost()), "http://c:81");
    EXPECT_EQ(WISPrGetAccountCreationHost(), nullptr);
    std::remove(path.c_str());

    EXPECT_FALSE(WISPrLoadSettings(path.c_str()));
    EXPECT_EQ(WISPrGetConnectivityCheckHost(), nullptr);
}

TEST(WisprSettings, TheShippedSampleNamesBothHosts)
{
    ASSERT_TRUE(WISPrLoadSettings(KEL_SAMPLE_SETTINGS));
    char* host = nullptr;
    char* path = nullptr;
    EXPECT_TRUE(WISPrParseURL(WISPrGetConnectivityCheckHost(), &host, &path));
    EXPECT_TRUE(WISPrParseURL(WISPrGetAccountCreationHost(), &host, &path));
    free(host);
    free(path);
    WISPrLoadSettings("/nonexistent/kelwisprd.conf");
}

class WisprAccount : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string pattern = testing::TempDir() + "wispr-prefs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        setenv("TAMO_PREFS_DIR", dir_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("TAMO_PREFS_DIR");
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // The stored text, as another reader of the preferences sees it.
    static std::string storedValue()
    {
        TPAppHandle* handle = nullptr;
        char* value = nullptr;
        EXPECT_EQ(TPAppGetHandle("com.quor.wifi.carrierhotspot", &handle), TP_ERR_NONE);
        TPAppCopyValue(handle, "account", &value);
        std::string text = str(value);
        TPFreeString(value);
        TPAppFreeHandle(handle);
        return text;
    }

    struct Account {
        bool found = false;
        std::string username, password, imsi;
    };

    static Account read()
    {
        char* user = reinterpret_cast<char*>(1);
        char* password = user;
        char* imsi = user;
        Account account;
        account.found = WISPrGetKelAccountFromPrefs(&user, &password, &imsi);
        if (account.found) {
            account.username = user;
            account.password = password;
            account.imsi = imsi;
        } else {
            EXPECT_EQ(user, nullptr);
            EXPECT_EQ(password, nullptr);
            EXPECT_EQ(imsi, nullptr);
        }
        free(user);
        free(password);
        free(imsi);
        return account;
    }

    std::string dir_;
};

TEST_F(WisprAccount, PlainValuesAreStoredInTheFixedLayoutAndReadBack)
{
    ASSERT_TRUE(WISPrSaveKelAccountToPrefs("kel-0612345678", "s3cr3t", "208011234567890"));
    EXPECT_EQ(
        storedValue(),
        "{\"username\":\"kel-0612345678\",\"password\":\"s3cr3t\",\"imsi\":\"208011234567890\"}");
    Account account = read();
    EXPECT_TRUE(account.found);
    EXPECT_EQ(account.username, "kel-0612345678");
    EXPECT_EQ(account.password, "s3cr3t");
    EXPECT_EQ(account.imsi, "208011234567890");
}

TEST_F(WisprAccount, ValuesNeedingEscapesReadBackIntact)
{
    const char user[] = "a\"b\\c";
    const char password[] = "p/w\",\"imsi\":\"x\\\n\t";
    ASSERT_TRUE(WISPrSaveKelAccountToPrefs(user, password, "2080112"));
    std::string stored = storedValue();
    EXPECT_NE(stored.find(R"("username":"a\"b\\c")"), std::string::npos) << stored;
    EXPECT_NE(stored.find(R"("password":"p/w\",\"imsi\":\"x\\\n\t")"), std::string::npos) << stored;
    Account account = read();
    EXPECT_TRUE(account.found);
    EXPECT_EQ(account.username, user);
    EXPECT_EQ(account.password, password);
    EXPECT_EQ(account.imsi, "2080112");
}

TEST_F(WisprAccount, AMissingValueClearsTheAccount)
{
    LogCapture log;
    const char* cases[][3] = {
        {nullptr, "p", "i"}, {"u", nullptr, "i"}, {"u", "p", nullptr}, {"", "p", "i"}};
    for (const auto& values : cases) {
        ASSERT_TRUE(WISPrSaveKelAccountToPrefs("u", "p", "i"));
        ASSERT_TRUE(WISPrSaveKelAccountToPrefs(values[0], values[1], values[2]));
        EXPECT_EQ(storedValue(), "{}");
        EXPECT_FALSE(read().found);
    }
    EXPECT_TRUE(log.hasCheck("pJsonUsername"));
}

TEST_F(WisprAccount, NothingOrSomethingUnreadableStoredIsNoAccount)
{
    LogCapture log;
    EXPECT_FALSE(read().found);
    EXPECT_TRUE(log.hasCheck("(tpErr == TP_ERR_NONE)"));

    TPAppHandle* handle = nullptr;
    ASSERT_EQ(TPAppGetHandle("com.quor.wifi.carrierhotspot", &handle), TP_ERR_NONE);
    ASSERT_EQ(TPAppSetValue(handle, "account", "{\"username\":"), TP_ERR_NONE);
    EXPECT_FALSE(read().found);
    EXPECT_TRUE(log.hasCheck("pJsonRoot"));
    ASSERT_EQ(
        TPAppSetValue(handle, "account", "{\"username\":\"u\",\"password\":7,\"imsi\":\"i\"}"),
        TP_ERR_NONE);
    EXPECT_FALSE(read().found);
    EXPECT_TRUE(log.hasCheck("pJsonPassword"));
    TPAppFreeHandle(handle);
}

TEST_F(WisprAccount, TheSavedAccountOutlivesTheProcessThatSavedIt)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(WISPrSaveKelAccountToPrefs("kel-1", "pw-1", "20801999") ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    Account account = read();
    EXPECT_TRUE(account.found);
    EXPECT_EQ(account.username, "kel-1");
    EXPECT_EQ(account.password, "pw-1");
    EXPECT_EQ(account.imsi, "20801999");
}

TEST_F(WisprAccount, AStoreThatCannotBeWrittenFailsTheSave)
{
    LogCapture log;
    std::string blocker = dir_ + "/file";
    std::ofstream(blocker) << "x";
    setenv("TAMO_PREFS_DIR", (blocker + "/prefs").c_str(), 1);
    EXPECT_FALSE(WISPrSaveKelAccountToPrefs("u", "p", "i"));
    EXPECT_TRUE(log.hasCheck("(tpErr == TP_ERR_NONE)"));
}

} // namespace
