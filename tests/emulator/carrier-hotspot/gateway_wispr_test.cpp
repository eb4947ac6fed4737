// The emulated gateway as the client sees it: redirect page, login, polling, logoff,
// connectivity check and account creation, and the gateway's configuration.
#include "GatewayFixture.h"
#include "LogCapture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

using emu::hotspot::Connectivity;
using emu::hotspot::Endpoint;
using emu::hotspot::HotspotGateway;

namespace
{

JValue parse(const std::string& text)
{
    JDomParser parser;
    EXPECT_TRUE(parser.parse(text, JSchemaFragment("{\"type\":[\"object\",\"array\"]}")))
        << parser.errorText();
    return parser.getDom();
}

TEST_F(GatewayTest, RedirectPageGivesTheClientEveryGatewayUrl)
{
    parseRedirectPage();
    std::string base = gateway_->baseUrl();
    EXPECT_EQ(str(record_.pLoginHost), base);
    EXPECT_EQ(str(record_.pLoginPath), "/wispr/login");
    EXPECT_EQ(str(record_.pLoginQuery), "gw=emu1");
    EXPECT_EQ(str(record_.pLoginResultHost), base);
    EXPECT_EQ(str(record_.pLoginResultPath), "/wispr/results");
    EXPECT_EQ(str(record_.pLoginResultQuery), "gw=emu1");
    EXPECT_EQ(str(record_.pLogoffHost), base);
    EXPECT_EQ(str(record_.pLogoffPath), "/wispr/logoff");
    EXPECT_EQ(record_.messageType, 100);
    EXPECT_EQ(record_.responseCode, 0);
    EXPECT_EQ(str(record_.pSessionId).size(), 16u);
    EXPECT_EQ(gateway_->url(Endpoint::Login), base + "/wispr/login?gw=emu1");
}

TEST_F(GatewayTest, AnyOtherPageRedirectsToThePortalWithTheSamePage)
{
    Exchange result = exchange(gateway_->baseUrl(), "GET /news HTTP/1.0\r\n\r\n", kReceiveMs);
    ASSERT_TRUE(result.received);
    EXPECT_EQ(
        result.reply.rfind("HTTP/1.0 302 Found\r\nLocation: " + gateway_->baseUrl() + "/\r\n", 0),
        0u);
    EXPECT_EQ(result.reply.substr(result.reply.find("\r\n\r\n") + 4), gateway_->redirectPage());
    EXPECT_EQ(lastRequest("portal")["path"].asString(), "/news");
}

TEST_F(GatewayTest, LoginAcceptsOnlyTheCredentialsItIssued)
{
    parseRedirectPage();
    auto [username, password] = createAccount();
    EXPECT_EQ(login(username, password + "x"), 100);
    EXPECT_EQ(lastRequest("login")["note"].asString(), "unknown credentials");
    EXPECT_EQ(login("someone", password), 100);
    EXPECT_FALSE(gateway_->status()["loggedIn"].asBool());

    EXPECT_EQ(login(username, password), 50);
    EXPECT_TRUE(gateway_->status()["loggedIn"].asBool());
    JValue request = lastRequest("login");
    EXPECT_EQ(request["query"].asString(), "gw=emu1");
    EXPECT_EQ(request["body"].asString(), "UserName=" + username + "&Password=" + password +
                                              "&FNAME=0&OriginatingServer=" + gateway_->baseUrl() +
                                              "/4o.zzz");
    EXPECT_EQ(request["headers"]["User-Agent"].asString(), "RIR-2.0.0-Quor");
    EXPECT_EQ(request["responseCode"].asInt32(), 50);
}

TEST_F(GatewayTest, LoginAnswersTheConfiguredCodeAndChecksTheQuery)
{
    parseRedirectPage();
    gateway_->addAccount("alice", "wonder");
    gateway_->setLoginResponseCode(100);
    EXPECT_EQ(login("alice", "wonder"), 100);
    gateway_->setLoginResponseCode(201);
    free(record_.pLoginResultPath);
    record_.pLoginResultPath = nullptr;
    EXPECT_EQ(login("alice", "wonder"), 201);
    // The pending reply tells the client where to poll.
    EXPECT_EQ(str(record_.pLoginResultPath), "/wispr/results");
    EXPECT_TRUE(gateway_->status()["loginPending"].asBool());

    gateway_->setLoginResponseCode(50);
    free(record_.pLoginQuery);
    record_.pLoginQuery = strdup("gw=other");
    EXPECT_EQ(login("alice", "wonder"), 100);
    EXPECT_EQ(lastRequest("login")["note"].asString(), "login query does not match");
}

TEST_F(GatewayTest, PendingLoginTurnsIntoSuccessAfterTheConfiguredPolls)
{
    parseRedirectPage();
    EXPECT_EQ(poll(), 100); // nothing to poll for yet
    EXPECT_EQ(lastRequest("loginResults")["note"].asString(), "no login pending");

    gateway_->apply(parse(R"({"loginResponseCode":201,"pendingPolls":2})"));
    auto [username, password] = createAccount();
    ASSERT_EQ(login(username, password), 201);
    EXPECT_EQ(poll(), 201);
    EXPECT_EQ(poll(), 201);
    EXPECT_EQ(gateway_->status()["polls"].asInt32(), 2);
    EXPECT_EQ(poll(), 50);
    EXPECT_TRUE(gateway_->status()["loggedIn"].asBool());
    EXPECT_EQ(poll(), 50);

    gateway_->setPendingPolls(0);
    ASSERT_EQ(login(username, password), 201);
    EXPECT_EQ(poll(), 50);
}

TEST_F(GatewayTest, LogoffEndsTheLogin)
{
    parseRedirectPage();
    auto [username, password] = createAccount();
    ASSERT_EQ(login(username, password), 50);
    EXPECT_EQ(logoff(), 150);
    EXPECT_FALSE(gateway_->status()["loggedIn"].asBool());
    EXPECT_EQ(lastRequest("logoff")["responseCode"].asInt32(), 150);
    EXPECT_EQ(poll(), 100);
}

TEST_F(GatewayTest, ConnectivityCheckVerdictsFollowTheConfiguredMode)
{
    LogCapture log;
    EXPECT_TRUE(WISPrCheckConnectivity(&record_));
    JValue request = lastRequest("connectivityCheck");
    EXPECT_EQ(request["path"].asString(), "/4o.zzz");
    EXPECT_EQ(request["headers"]["Host"].asString(),
              "127.0.0.1:" + std::to_string(gateway_->port()));

    gateway_->setConnectivity(Connectivity::Closed);
    EXPECT_FALSE(WISPrCheckConnectivity(&record_));
    EXPECT_TRUE(log.has("No expected response. Connectivity check failed"));

    // Captive: the redirect until a login holds, the answer while it does.
    gateway_->setConnectivity(Connectivity::Captive);
    EXPECT_FALSE(WISPrCheckConnectivity(&record_));
    EXPECT_TRUE(log.has("Not a HTTP 200 OK response. Connectivity check failed"));
    parseRedirectPage();
    auto [username, password] = createAccount();
    ASSERT_EQ(login(username, password), 50);
    EXPECT_TRUE(WISPrCheckConnectivity(&record_));
    logoff();
    EXPECT_FALSE(WISPrCheckConnectivity(&record_));
}

TEST_F(GatewayTest, CaptiveLoginReplyPassesOnlyThroughItsResponseCode)
{
    // The client checks connectivity on the reply's 200 status line: with a pending login the
    // check fails and the reply's own code must still win.
    gateway_->apply(parse(R"({"connectivity":"captive","loginResponseCode":201})"));
    parseRedirectPage();
    auto [username, password] = createAccount();
    LogCapture log;
    EXPECT_EQ(login(username, password), 201);
    EXPECT_TRUE(log.has("Not a HTTP 200 OK response. Connectivity check failed"));
}

TEST_F(GatewayTest, AccountCreationIssuesANewAccountEachTime)
{
    auto first = createAccount();
    JValue request = lastRequest("accountCreation");
    EXPECT_EQ(request["endpoint"].asString(), "accountCreation");
    EXPECT_EQ(request["peer"].asString(), "127.0.0.1");
    EXPECT_EQ(request["headers"]["Accept"].asString(), "application/xml");
    auto second = createAccount();
    EXPECT_NE(first.first, second.first);
    EXPECT_NE(first.second, second.second);
    EXPECT_EQ(first.first.rfind("kel-", 0), 0u);

    JValue accounts = gateway_->accounts();
    ASSERT_EQ(accounts.arraySize(), 2u);
    EXPECT_EQ(accounts[0]["username"].asString(), first.first);
    EXPECT_EQ(accounts[0]["password"].asString(), first.second);
    EXPECT_TRUE(accounts[0]["issued"].asBool());

    gateway_->setIssueAccounts(false);
    free(record_.pUsername);
    free(record_.pPassword);
    record_.pUsername = record_.pPassword = nullptr;
    EXPECT_FALSE(WISPrCreateKelAccount());
    EXPECT_EQ(record_.pUsername, nullptr);
    EXPECT_EQ(lastRequest("accountCreation")["note"].asString(), "account creation refused");

    gateway_->apply(parse(R"({"issueAccounts":true,"usernamePrefix":"wifi-"})"));
    EXPECT_EQ(createAccount().first.rfind("wifi-", 0), 0u);
}

TEST_F(GatewayTest, RequestsOutsideTheProtocolAreAnsweredAndRecorded)
{
    Exchange garbage = exchange(gateway_->baseUrl(), "hello\r\n\r\n", kReceiveMs);
    EXPECT_EQ(garbage.reply.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u);
    EXPECT_TRUE(lastRequest("")["malformed"].asBool());

    Exchange wrongMethod =
        exchange(gateway_->baseUrl(), "GET /wispr/login HTTP/1.0\r\n\r\n", kReceiveMs);
    EXPECT_EQ(wrongMethod.reply.rfind("HTTP/1.0 405 ", 0), 0u);
    Exchange unknown =
        exchange(gateway_->baseUrl(), "PUT /x HTTP/1.0\r\nContent-Length: 2\r\n\r\nab", kReceiveMs);
    EXPECT_EQ(unknown.reply.rfind("HTTP/1.0 404 ", 0), 0u);
    EXPECT_EQ(lastRequest("")["body"].asString(), "ab");

    JValue log = gateway_->requestLog();
    ASSERT_EQ(log.arraySize(), 3u);
    EXPECT_EQ(log[1]["endpoint"].asString(), "login");
    EXPECT_EQ(log[2]["seq"].asInt32(), 3);
    gateway_->clearRequestLog();
    EXPECT_EQ(gateway_->requestLog().arraySize(), 0u);
    EXPECT_EQ(gateway_->status()["requests"].asInt32(), 3);
}

TEST_F(GatewayTest, SettingsAndEnvLinesPointAtTheGateway)
{
    std::string base = gateway_->baseUrl();
    EXPECT_EQ(gateway_->settingsLines(), "[Endpoints]\nConnectivityCheckHost=" + base +
                                             "\nAccountCreationHost=" + base + "\n");
    EXPECT_EQ(str(WISPrGetConnectivityCheckHost()), base);
    EXPECT_EQ(str(WISPrGetAccountCreationHost()), base);
    using Variables = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(gateway_->envVariables(),
              (Variables{{"HOTSPOT_GATEWAY_URL", base},
                         {"HOTSPOT_PORTAL_URL", base + "/"},
                         {"HOTSPOT_LOGIN_URL", base + "/wispr/login?gw=emu1"},
                         {"HOTSPOT_CONNECTIVITY_CHECK_URL", base + "/4o.zzz"},
                         {"HOTSPOT_ACCOUNT_CREATION_URL", base + "/cgi-bin/abcd/jtranspa"}}));
}

TEST(GatewayConfiguration, RejectsBadSettingsWithoutChangingAnything)
{
    HotspotGateway gateway(
        parse(R"({"loginQuery":"site=7","accounts":[{"username":"bob","password":"pw"}]})"));
    EXPECT_EQ(gateway.url(Endpoint::LoginResults), gateway.baseUrl() + "/wispr/results?site=7");
    EXPECT_EQ(gateway.accounts()[0]["username"].asString(), "bob");
    EXPECT_FALSE(gateway.accounts()[0]["issued"].asBool());

    const char* bad[] = {
        R"({"loginResponseCode":"50"})",
        R"({"pendingPolls":-1})",
        R"({"connectivity":"maybe"})",
        R"({"loginQuery":"a b"})",
        R"({"accounts":[{"username":"x&y","password":"p"}]})",
        R"({"misbehave":{"login":"explode"}})",
        R"({"misbehave":{"nowhere":"silence"}})",
        R"({"misbehave":{"login":{"kind":"status","amount":42}}})",
        R"({"loginResponseCode":201,"loginQuery":"ok","colour":"blue"})",
    };
    for (const char* settings : bad)
        EXPECT_THROW(gateway.apply(parse(settings)), std::invalid_argument) << settings;
    EXPECT_EQ(gateway.status()["loginResponseCode"].asInt32(), 50);
    EXPECT_EQ(gateway.url(Endpoint::Login), gateway.baseUrl() + "/wispr/login?site=7");
    EXPECT_THROW(HotspotGateway(parse(R"({"port":70000})")), std::invalid_argument);
    EXPECT_THROW(gateway.addAccount("", "pw"), std::invalid_argument);
}

TEST(GatewayConfiguration, ListensOnTheConfiguredPort)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    int port = ntohs(addr.sin_port);
    close(fd);

    HotspotGateway gateway(parse("{\"port\":" + std::to_string(port) + "}"));
    EXPECT_EQ(gateway.port(), port);
    EXPECT_EQ(gateway.baseUrl(), "http://127.0.0.1:" + std::to_string(port));
    // A second gateway cannot take the same port.
    EXPECT_THROW(HotspotGateway(parse("{\"port\":" + std::to_string(port) + "}")),
                 std::runtime_error);
}

} // namespace

TEST_F(GatewayTest, EveryTextShapeAndAnEscapedQueryCarryTheClientThrough)
{
    struct Shape {
        const char* settings;
        bool crlf;
        bool inComment;
    };
    for (const Shape& shape : {Shape{R"({"lineEnds":"crlf","xmlInComment":true})", true, true},
                               Shape{R"({"lineEnds":"lf","xmlInComment":true})", false, true},
                               Shape{R"({"lineEnds":"crlf","xmlInComment":false})", true, false},
                               Shape{R"({"lineEnds":"lf","xmlInComment":false})", false, false}}) {
        SCOPED_TRACE(shape.settings);
        JDomParser parser;
        ASSERT_TRUE(parser.parse(shape.settings, JSchemaFragment("{\"type\":\"object\"}")));
        gateway_->apply(parser.getDom());
        gateway_->setLoginResponseCode(201);
        JValue query = JValue::object();
        query.put("loginQuery", JValue("gw=emu1&loc=hall"));
        gateway_->apply(query);

        std::string page = gateway_->redirectPage();
        EXPECT_EQ(page.find('\r') != std::string::npos, shape.crlf);
        EXPECT_EQ(page.find("<!--" + std::string(shape.crlf ? "\r\n" : "\n") + "<?xml") !=
                      std::string::npos,
                  shape.inComment);
        EXPECT_NE(page.find("gw=emu1&amp;loc=hall"), std::string::npos);

        WISPrReinitAuthInfo(&record_);
        parseRedirectPage();
        EXPECT_EQ(str(record_.pLoginQuery), "gw=emu1&loc=hall");
        auto [username, password] = createAccount();
        EXPECT_EQ(login(username, password), 201);
        EXPECT_EQ(str(record_.pLoginResultQuery), "gw=emu1&loc=hall");
        EXPECT_EQ(poll(), 50);
        EXPECT_EQ(logoff(), 150);
    }
}
