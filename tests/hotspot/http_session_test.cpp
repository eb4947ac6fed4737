/* Tests of the raw HTTP session against scripted peers on 127.0.0.1. */
#include "CarrierHotspotHTTP.h"
#include "LogCapture.h"
#include "RawServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace
{

using Clock = std::chrono::steady_clock;
using After = RawServer::After;

const char kRequest[] = "GET /4o.zzz HTTP/1.0\r\nUser-Agent: RIR-2.0.0-Quor\r\n\r\n";
const int kConnectMs = 1000;
// Long enough to tell "ended at close" from "ended at the time-out".
const int kReceiveMs = 3000;
// Short time-out for the cases that must sit one out.
const int kShortMs = 300;

struct Outcome {
    int result = -1;
    std::string text;
    size_t len = 0;
    bool bufferNull = false;
    long long elapsedMs = 0;
};

Outcome exchange(const RawServer& server, int receiveMs, const char* request = kRequest)
{
    Outcome out;
    CarrierHotspotSession* session = CarrierHotspot_HTTPInit("127.0.0.1");
    EXPECT_NE(session, nullptr);
    EXPECT_EQ(CarrierHotspot_HTTPConnect(session, server.target().c_str(), kConnectMs), 1);
    EXPECT_EQ(CarrierHotspot_HTTPRequest(session, request), 1);
    char* buf = reinterpret_cast<char*>(&out); // must be cleared by the call
    auto start = Clock::now();
    out.result = CarrierHotspot_HTTPReceive(session, &buf, &out.len, receiveMs);
    out.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    out.bufferNull = buf == nullptr;
    if (buf) {
        out.text.assign(buf, out.len);
        EXPECT_EQ(buf[out.len], '\0');
        free(buf);
    }
    CarrierHotspot_HTTPDestroy(&session);
    EXPECT_EQ(session, nullptr);
    return out;
}

TEST(HttpSessionReceive, ReplyThenCloseEndsAtTheCloseWithTheWholeText)
{
    LogCapture log;
    auto server = RawServer::replying("HTTP/1.0 200 OK\r\n\r\nABCd\r\n");
    Outcome out = exchange(server, kReceiveMs);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.text, "HTTP/1.0 200 OK\r\n\r\nABCd\r\n");
    EXPECT_LT(out.elapsedMs, kReceiveMs / 2);
    EXPECT_TRUE(log.has("Received: HTTP/1.0 200 OK"));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], kRequest);
}

TEST(HttpSessionReceive, ReplyInPartsIsJoinedUntilTheClose)
{
    RawServer::Script script;
    script.replyParts = {"HTTP/1.0 200 OK\r\n", "\r\n", "<ResponseCode>50</ResponseCode>\r\n"};
    script.gapMs = 100;
    RawServer server(script);
    Outcome out = exchange(server, kReceiveMs);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.text, "HTTP/1.0 200 OK\r\n\r\n<ResponseCode>50</ResponseCode>\r\n");
}

TEST(HttpSessionReceive, CloseWithoutAReplyIsAnEmptySuccess)
{
    auto server = RawServer::replying("");
    Outcome out = exchange(server, kReceiveMs);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.len, 0u);
    EXPECT_FALSE(out.bufferNull);
    EXPECT_LT(out.elapsedMs, kReceiveMs / 2);
}

TEST(HttpSessionReceive, ReplyKeptOpenEndsAfterOneSilentTimeout)
{
    LogCapture log;
    auto server = RawServer::replying("HTTP/1.1 200 OK\r\n\r\nkept", After::KeepOpen);
    Outcome out = exchange(server, kShortMs);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.text, "HTTP/1.1 200 OK\r\n\r\nkept");
    EXPECT_GE(out.elapsedMs, kShortMs - 10);
    EXPECT_LT(out.elapsedMs, 3 * kShortMs);
    EXPECT_TRUE(log.has("No more data to read"));
}

TEST(HttpSessionReceive, SilenceFailsAfterTheTimeoutWithNoBuffer)
{
    LogCapture log;
    auto server = RawServer::replying("", After::KeepOpen);
    Outcome out = exchange(server, kShortMs);
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.bufferNull);
    EXPECT_EQ(out.len, 0u);
    EXPECT_GE(out.elapsedMs, kShortMs - 10);
    EXPECT_TRUE(log.has("Timed out when waiting to receive data"));
}

struct SizeCase {
    size_t bytes;
    long growths;
};

class HttpSessionBuffer : public ::testing::TestWithParam<SizeCase>
{
};

// The buffer starts with room for 4,095 bytes and doubles; a response that exactly fills a
// buffer does not grow it.
TEST_P(HttpSessionBuffer, GrowsByDoublingAndKeepsEveryByte)
{
    LogCapture log;
    std::string body;
    for (size_t i = 0; i < GetParam().bytes; i++)
        body.push_back(static_cast<char>('a' + i % 26));
    for (After after : {After::Close, After::KeepOpen}) {
        log.clear();
        auto server = RawServer::replying(body, after);
        Outcome out = exchange(server, kShortMs);
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.len, body.size());
        EXPECT_TRUE(out.text == body);
        EXPECT_EQ(log.count("Need to adjust receive buffer size"), GetParam().growths);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, HttpSessionBuffer,
                         ::testing::Values(SizeCase{4095, 0}, SizeCase{4096, 1}, SizeCase{8190, 1},
                                           SizeCase{8191, 2}),
                         [](const auto& info) { return std::to_string(info.param.bytes); });

TEST(HttpSessionReceive, ResponseAtTheBoundIsAcceptedAndOneByteMoreFails)
{
    LogCapture log;
    std::string body(kCarrierHotspotMaxResponseBytes, 'x');
    {
        auto server = RawServer::replying(body);
        Outcome out = exchange(server, kReceiveMs);
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.len, body.size());
    }
    EXPECT_FALSE(log.hasCheck("(received <= kCarrierHotspotMaxResponseBytes)"));
    body.push_back('y');
    {
        auto server = RawServer::replying(body, After::KeepOpen);
        Outcome out = exchange(server, kReceiveMs);
        EXPECT_EQ(out.result, 0);
        EXPECT_TRUE(out.bufferNull);
        EXPECT_EQ(out.len, 0u);
    }
    EXPECT_TRUE(log.hasCheck("(received <= kCarrierHotspotMaxResponseBytes)"));
}

TEST(HttpSessionRequest, ARequestOfAnyLengthGoesOutWhole)
{
    // Far beyond a 16-bit count and the socket buffers, so partial sends and waits happen.
    std::string request = "POST /login HTTP/1.0\r\n\r\n" + std::string(3 * 1024 * 1024 + 7, 'p');
    RawServer::Script script;
    script.replyParts = {"HTTP/1.0 200 OK\r\n\r\n"};
    script.expectBytes = request.size();
    RawServer server(script);
    Outcome out = exchange(server, kReceiveMs, request.c_str());
    EXPECT_EQ(out.result, 1);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].size(), request.size());
    EXPECT_TRUE(server.requests()[0] == request);
}

TEST(HttpSessionRequest, APeerThatNeverReadsFailsTheSendAfterTheConnectTimeout)
{
    LogCapture log;
    RawServer::Script script;
    script.after = After::NeverRead;
    RawServer server(script);
    std::string request(64 * 1024 * 1024, 'q');
    CarrierHotspotSession* session = CarrierHotspot_HTTPInit(nullptr);
    ASSERT_EQ(CarrierHotspot_HTTPConnect(session, server.target().c_str(), kShortMs), 1);
    auto start = Clock::now();
    EXPECT_EQ(CarrierHotspot_HTTPRequest(session, request.c_str()), 0);
    auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_TRUE(log.hasCheck("(err > 0)"));
    CarrierHotspot_HTTPDestroy(&session);
}

struct ConnectFailure {
    const char* name;
    const char* interface;
    std::string target;
};

class HttpSessionConnect : public ::testing::TestWithParam<ConnectFailure>
{
};

TEST_P(HttpSessionConnect, FailsInTheTransferWithZero)
{
    LogCapture log;
    auto server = RawServer::replying("unused");
    std::string target = GetParam().target.empty() ? server.target() : GetParam().target;
    CarrierHotspotSession* session = CarrierHotspot_HTTPInit(GetParam().interface);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(CarrierHotspot_HTTPConnect(session, target.c_str(), kConnectMs), 0);
    EXPECT_TRUE(log.hasCheck("(res == CURLE_OK)"));
    EXPECT_TRUE(server.requests().empty());
    CarrierHotspot_HTTPDestroy(&session);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, HttpSessionConnect,
    ::testing::Values(ConnectFailure{"UnresolvableHost", nullptr, "http://no-such-host.invalid"},
                      // Port 1 on loopback: nothing listens there in a test machine.
                      ConnectFailure{"RefusedPort", nullptr, "http://127.0.0.1:1"},
                      // A documentation address that no interface here holds: the bind must fail.
                      ConnectFailure{"BoundToAForeignAddress", "192.0.2.1", ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

TEST(HttpSessionReceive, ADrippingPeerIsCutOffAtTheTotalBound)
{
    LogCapture log;
    // 60 bytes one by one, each within the silence time-out: without a total bound this
    // receive would last 60 gaps.
    RawServer::Script script;
    for (char c : std::string(60, 'x'))
        script.replyParts.emplace_back(1, c);
    script.gapMs = 50;
    RawServer server(script);
    Outcome out = exchange(server, kShortMs);
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.bufferNull);
    EXPECT_EQ(out.len, 0u);
    EXPECT_TRUE(log.has("Receive exceeded its total bound of " +
                        std::to_string(kCarrierHotspotReceiveTotalFactor * kShortMs) + " ms"));
}

TEST(HttpSessionLog, PasswordsAreMaskedInTheExchangedTexts)
{
    LogCapture log;
    auto server = RawServer::replying("HTTP/1.0 200 OK\r\n\r\n<m_response>u1</m_response>\r\n"
                                      "<P_RESPONSE>hunter2</P_RESPONSE>\r\n");
    Outcome out = exchange(server, kReceiveMs,
                           "POST /login HTTP/1.0\r\n\r\nUserName=u1&Password=s3cr3t&FNAME=0");
    EXPECT_EQ(out.result, 1);
    EXPECT_NE(out.text.find("hunter2"), std::string::npos);
    EXPECT_TRUE(log.has(
        "Sending HTTP request: POST /login HTTP/1.0\\r\\n\\r\\nUserName=u1&Password=****&FNAME=0"));
    EXPECT_TRUE(log.has("<P_RESPONSE>****</P_RESPONSE>"));
    EXPECT_FALSE(log.has("s3cr3t"));
    EXPECT_FALSE(log.has("hunter2"));

    // A long text is logged cut short, with what was left out counted.
    std::string longRequest = "GET /" + std::string(100 * 1024, 'a') + " HTTP/1.0\r\n\r\n";
    auto echo = RawServer::replying("HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(exchange(echo, kReceiveMs, longRequest.c_str()).result, 1);
    EXPECT_TRUE(log.has("... (" + std::to_string(longRequest.size() - 64 * 1024) + " more bytes)"));
}

namespace
{

// `openssl s_server` on 127.0.0.1 with a fresh self-signed certificate, preferring HTTP/2
// through ALPN, as some gateways' TLS front ends do.
class H2TlsServer
{
  public:
    H2TlsServer()
    {
        dir_ = testing::TempDir() + "h2tls-" + std::to_string(getpid());
        std::string make = "mkdir -p '" + dir_ + "' && openssl req -x509 -newkey rsa:2048 -nodes " +
                           "-keyout '" + dir_ + "/key.pem' -out '" + dir_ + "/cert.pem' " +
                           "-days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 " +
                           ">/dev/null 2>&1";
        EXPECT_EQ(system(make.c_str()), 0);
        port_ = freePort();
        pid_ = fork();
        if (pid_ == 0) {
            std::string accept = "127.0.0.1:" + std::to_string(port_);
            execlp("openssl", "openssl", "s_server", "-quiet", "-accept", accept.c_str(), "-cert",
                   (dir_ + "/cert.pem").c_str(), "-key", (dir_ + "/key.pem").c_str(), "-alpn",
                   "h2,http/1.1", "-www", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200 && !listening(); i++)
            usleep(10000);
    }
    ~H2TlsServer()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    std::string target() const { return "https://127.0.0.1:" + std::to_string(port_); }
    std::string caFile() const { return dir_ + "/cert.pem"; }

  private:
    static int freePort()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        close(fd);
        return ntohs(addr.sin_port);
    }
    bool listening() const
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(port_));
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        close(fd);
        return ok;
    }

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

} // namespace

TEST(HttpSessionTls, AGatewayOfferingHttp2IsSpokenToInHttp1AndItsCertificateIsVerified)
{
    H2TlsServer server;
    const char request[] = "GET / HTTP/1.0\r\n\r\n";

    CarrierHotspot_HTTPSetTrustedCAFile(server.caFile().c_str());
    CarrierHotspotSession* session = CarrierHotspot_HTTPInit(nullptr);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(CarrierHotspot_HTTPConnect(session, server.target().c_str(), kConnectMs), 1);
    ASSERT_EQ(CarrierHotspot_HTTPRequest(session, request), 1);
    char* buf = nullptr;
    size_t len = 0;
    ASSERT_EQ(CarrierHotspot_HTTPReceive(session, &buf, &len, kReceiveMs), 1);
    EXPECT_EQ(std::string(buf, len).rfind("HTTP/1.0 200 ok", 0), 0u) << buf;
    free(buf);
    CarrierHotspot_HTTPDestroy(&session);

    // Without the certificate trusted, the connection is refused: verification is on.
    CarrierHotspot_HTTPSetTrustedCAFile(nullptr);
    session = CarrierHotspot_HTTPInit(nullptr);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(CarrierHotspot_HTTPConnect(session, server.target().c_str(), kConnectMs), 0);
    CarrierHotspot_HTTPDestroy(&session);
}
