// Each misbehaviour of the emulated gateway, seen by the client as the failure it should be.
#include "GatewayFixture.h"
#include "LogCapture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <unistd.h>

using emu::hotspot::Endpoint;
using emu::hotspot::Misbehaviour;
using Kind = emu::hotspot::Misbehaviour::Kind;

namespace
{

struct Case {
    const char* name;
    Misbehaviour misbehaviour;
    bool passes;
    const char* logged;
    const char* recordedAs;
};

class ConnectivityMisbehaviour : public GatewayTest, public ::testing::WithParamInterface<Case>
{
};

TEST_P(ConnectivityMisbehaviour, IsSeenByTheConnectivityCheck)
{
    LogCapture log;
    gateway_->misbehave(Endpoint::ConnectivityCheck, GetParam().misbehaviour);
    EXPECT_EQ(WISPrCheckConnectivity(&record_), GetParam().passes);
    EXPECT_TRUE(log.has(GetParam().logged));
    EXPECT_EQ(lastRequest("connectivityCheck")["misbehaviour"].asString(), GetParam().recordedAs);
}

const char kTimedOut[] = "Timed out when waiting to receive data";
const char kNoAnswer[] = "No expected response. Connectivity check failed";

INSTANTIATE_TEST_SUITE_P(
    Kinds, ConnectivityMisbehaviour,
    ::testing::Values(
        Case{"Silence", {Kind::Silence, 0, -1}, false, kTimedOut, "silence"},
        // The client takes a reply whose connection stays open after one silent period.
        Case{"KeepOpen", {Kind::KeepOpen, 0, -1}, true, "No more data to read", "keepOpen"},
        Case{"CloseBeforeAnyByte", {Kind::EarlyClose, 0, -1}, false, kNoAnswer, "earlyClose"},
        Case{"CloseInsideTheHeaders", {Kind::EarlyClose, 20, -1}, false, kNoAnswer, "earlyClose"},
        // The body does start with the answer: only the size bound can refuse it.
        // Each byte within the silence time-out: only the bound on the whole receive ends it.
        Case{"Drip", {Kind::Drip, 100, -1}, false, "Receive exceeded its total bound", "drip"},
        Case{"HugeBody",
             {Kind::HugeBody, 0, -1},
             false,
             "check \"(received <= kCarrierHotspotMaxResponseBytes)\" failed",
             "hugeBody"},
        Case{"ShortDelay",
             {Kind::Delay, 200, -1},
             true,
             "Found expected response. Connectivity check succeeded",
             "delay"},
        Case{"DelayBeyondTheReceiveTimeout", {Kind::Delay, 1500, -1}, false, kTimedOut, "delay"},
        Case{"ServerError",
             {Kind::Status, 503, -1},
             false,
             "Not a HTTP 200 OK response. Connectivity check failed",
             "status"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GatewayTest, MisbehaviourLastsForTheGivenNumberOfRequests)
{
    gateway_->misbehave(Endpoint::ConnectivityCheck, {Kind::Silence, 0, 1});
    EXPECT_FALSE(WISPrCheckConnectivity(&record_));
    EXPECT_EQ(lastRequest("connectivityCheck")["status"].asInt32(), 0);
    EXPECT_TRUE(WISPrCheckConnectivity(&record_));
    EXPECT_EQ(lastRequest("connectivityCheck")["misbehaviour"].asString(), "none");

    // Only the named endpoint misbehaves, until told to behave.
    gateway_->misbehave(Endpoint::AccountCreation, {Kind::Status, 0, -1});
    EXPECT_TRUE(WISPrCheckConnectivity(&record_));
    free(record_.pWanIpAddress);
    record_.pWanIpAddress = strdup("127.0.0.1");
    EXPECT_FALSE(WISPrCreateKelAccount());
    EXPECT_EQ(lastRequest("accountCreation")["status"].asInt32(), 500);
    gateway_->behave();
    EXPECT_TRUE(WISPrCreateKelAccount());
}

TEST_F(GatewayTest, SilentLoginLeavesTheClientWithoutAReplyAndTheGatewayUnchanged)
{
    parseRedirectPage();
    auto [username, password] = createAccount();
    gateway_->misbehave(Endpoint::Login, {Kind::Silence, 0, -1});
    EXPECT_EQ(login(username, password), -1);
    EXPECT_FALSE(gateway_->status()["loggedIn"].asBool());
    EXPECT_TRUE(lastRequest("login")["responseCode"].isNull());

    // The same misbehaviour set through the configuration, on the result polls.
    JDomParser parser;
    ASSERT_TRUE(parser.parse(R"({"loginResponseCode":201,"misbehave":{"login":"none",
        "loginResults":{"kind":"earlyClose","times":1}}})",
                             JSchemaFragment("{\"type\":\"object\"}")));
    gateway_->apply(parser.getDom());
    ASSERT_EQ(login(username, password), 201);
    EXPECT_EQ(poll(), -1);
    EXPECT_EQ(poll(), 50);
}

TEST_F(GatewayTest, AccountReplyCutShortGivesNoAccount)
{
    Exchange whole =
        exchange(gateway_->baseUrl(), "GET /cgi-bin/abcd/jtranspa HTTP/1.0\r\n\r\n", kReceiveMs);
    size_t cut = whole.reply.find("<p_response>");
    ASSERT_NE(cut, std::string::npos);
    // Every issued account has the same length, so the next reply breaks at the same place.
    gateway_->misbehave(Endpoint::AccountCreation, {Kind::EarlyClose, (long long)cut, -1});
    free(record_.pWanIpAddress);
    record_.pWanIpAddress = strdup("127.0.0.1");
    // The user name alone is no account: nothing is kept of it.
    EXPECT_FALSE(WISPrCreateKelAccount());
    EXPECT_EQ(record_.pUsername, nullptr);
    EXPECT_EQ(record_.pPassword, nullptr);
}

TEST(GatewayLifetime, StoppingReleasesHeldConnectionsPromptly)
{
    auto gateway = std::make_unique<emu::hotspot::HotspotGateway>();
    gateway->misbehave(Endpoint::Portal, {Kind::Silence, 0, -1});
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(gateway->port());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(fd, request, sizeof(request) - 1, 0), ssize_t(sizeof(request) - 1));
    for (int i = 0; i < 200 && gateway->status()["requests"].asInt32() == 0; i++)
        usleep(10000);
    ASSERT_EQ(gateway->status()["requests"].asInt32(), 1);

    auto start = std::chrono::steady_clock::now();
    gateway.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 1000), 1);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0); // closed, with nothing said
    close(fd);
}

} // namespace

TEST_F(GatewayTest, MisbehaviourAmountsBeyondTheirBoundsAreRefused)
{
    for (const char* settings :
         {R"({"misbehave":{"portal":{"kind":"hugeBody","amount":4294967296}}})",
          R"({"misbehave":{"portal":{"kind":"delay","amount":4294967296}}})",
          R"({"misbehave":{"portal":{"kind":"drip","amount":60000}}})"}) {
        JDomParser parser;
        ASSERT_TRUE(parser.parse(settings, JSchemaFragment("{\"type\":\"object\"}")));
        EXPECT_THROW(gateway_->apply(parser.getDom()), std::invalid_argument) << settings;
    }
    EXPECT_THROW(gateway_->misbehave(Endpoint::Portal,
                                     {Kind::HugeBody, emu::hotspot::kMaxHugeBodyBytes + 1, -1}),
                 std::invalid_argument);
    // At the bound the gateway still answers, and the emulator lives on.
    gateway_->misbehave(Endpoint::Portal, {Kind::HugeBody, emu::hotspot::kMaxHugeBodyBytes, 1});
    Exchange huge = exchange(gateway_->baseUrl(), "GET / HTTP/1.0\r\n\r\n", kReceiveMs);
    EXPECT_FALSE(huge.received);
    EXPECT_TRUE(exchange(gateway_->baseUrl(), "GET / HTTP/1.0\r\n\r\n", kReceiveMs).received);
}

TEST_F(GatewayTest, TheRequestLogKeepsOnlyTheNewestRequests)
{
    const size_t sent = emu::hotspot::kMaxLoggedRequests + 5;
    for (size_t i = 0; i < sent; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(gateway_->port());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        std::string request = "GET /" + std::to_string(i) + " HTTP/1.0\r\n\r\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        char buf[4096];
        while (recv(fd, buf, sizeof(buf), 0) > 0) {
        }
        close(fd);
    }
    JValue log = gateway_->requestLog();
    ASSERT_EQ(log.arraySize(), emu::hotspot::kMaxLoggedRequests);
    EXPECT_EQ(log[0]["path"].asString(), "/5");
    EXPECT_EQ(log[log.arraySize() - 1]["path"].asString(), "/" + std::to_string(sent - 1));
    EXPECT_EQ(gateway_->status()["requests"].asInt64(), int64_t(sent));
}
