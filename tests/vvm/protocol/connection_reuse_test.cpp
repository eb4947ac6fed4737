// The transport's connections: one per exchange by default, kept per host when the settings
// reuse them (reopened when the server closed one), and https verified against the CA file.
#include "PlatformFixture.h"
#include "TlsFront.h"

#include <chrono>
#include <set>
#include <thread>

namespace
{

class Connections : public PlatformFixture
{
  protected:
    void TearDown() override
    {
        HttpRequest::s_reuseConnections = false;
        HttpRequest::s_caFile.clear();
        PlatformFixture::TearDown();
    }

    // The platform closes a kept connection after `keepAlive` answers, or a second idle (its
    // stop waits for that).
    void startPlatformKeeping(int keepAlive)
    {
        JValue config = vtjsonParse("{\"namespace\":\"http://ws.test.invalid/\",\"calls\":"
                                    "[{\"id\":\"101\",\"duration\":2}],\"keepAliveSeconds\":1,"
                                    "\"keepAliveRequests\":" +
                                    std::to_string(keepAlive) + "}");
        platform = std::make_unique<emu::vvm::VoicemailPlatform>(config);
        platform->start();
        KelVvmRequest::s_vvmUrl = platform->serviceUrl();
        KelVvmRequest::s_webNamespace = "http://ws.test.invalid/";
    }

    // Client ports of the logged requests: one per connection the platform saw.
    std::set<std::string> clientPorts()
    {
        std::set<std::string> ports;
        JValue all = platform->requests();
        for (size_t i = 0; i < all.arraySize(); i++)
            ports.insert(all[i]["headers"]["REMOTE_PORT"].asString());
        return ports;
    }

    // A logged request's headers without those naming its connection.
    static std::string headersApartFromConnection(JValue headers)
    {
        JValue kept = JValue::object();
        for (const std::string& name : headers.keys()) {
            if (name != "REMOTE_PORT" && name != "Connection")
                kept.put(name, headers[name]);
        }
        return kept.stringify();
    }
};

TEST_F(Connections, EachExchangeOnItsOwnUnlessReusedThenOnePerServerConnection)
{
    startPlatformKeeping(2);
    std::string audio = platform->mailbox()["calls"][0]["audioUrl"].asString();
    auto exchanges = [&] {
        for (int i = 0; i < 2; i++) {
            ASSERT_EQ(KelVvmRequest::getAllMessages()->getType(), RESPONSE_MESSAGES);
            HttpRequest download(audio);
            download.download(folder + "/101.amr");
        }
        ASSERT_EQ(KelVvmRequest::getUserProfile()->getType(), RESPONSE_USER_PROFILE);
    };
    exchanges();
    JValue separate = platform->requests();
    ASSERT_EQ(separate.arraySize(), 5u);
    EXPECT_EQ(clientPorts().size(), 5u);
    EXPECT_EQ(separate[0]["headers"]["Connection"].asString(), "close");

    control("{\"command\":\"clearRequests\"}");
    HttpRequest::s_reuseConnections = true;
    exchanges();
    JValue kept = platform->requests();
    ASSERT_EQ(kept.arraySize(), 5u);
    // Two answers per connection: the platform closed two of them, and the next exchange
    // went on a new one without a failed attempt.
    EXPECT_EQ(clientPorts().size(), 3u);
    EXPECT_TRUE(waits().empty());
    for (size_t i = 0; i < kept.arraySize(); i++) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(kept[i]["headers"].hasKey("Connection"));
        EXPECT_EQ(kept[i]["body"].asString(), separate[i]["body"].asString());
        EXPECT_EQ(headersApartFromConnection(kept[i]["headers"]),
                  headersApartFromConnection(separate[i]["headers"]));
    }

    // Closed while idle, with nothing said: the next exchange opens a new one.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(KelVvmRequest::getUserProfile()->getType(), RESPONSE_USER_PROFILE);
    EXPECT_EQ(clientPorts().size(), 4u);
    EXPECT_TRUE(waits().empty());
}

TEST_F(Connections, HttpsPeersAreVerifiedAgainstTheCaFileAndKeptWhenReused)
{
    startPlatformKeeping(100);
    emu::link::TlsFiles files;
    std::string error;
    ASSERT_TRUE(emu::link::prepareTlsFiles(folder + "/tls", files, error)) << error;
    emu::link::TlsFront front(files);
    front.start(uint16_t(platform->port()));
    const std::string url = "https://127.0.0.1:" + std::to_string(front.port()) + "/anything";

    HttpRequest untrusted(url);
    try {
        untrusted.get();
        FAIL() << "a certificate of an unknown CA was accepted";
    } catch (const HttpRequestException& e) {
        EXPECT_EQ(e.code, CURLE_PEER_FAILED_VERIFICATION);
    }
    EXPECT_EQ(platform->requests().arraySize(), 0u);

    HttpRequest::s_caFile = files.caFile;
    HttpRequest::s_reuseConnections = true;
    for (int i = 0; i < 3; i++) {
        HttpRequest request(url);
        EXPECT_EQ(request.get(), 404);
    }
    EXPECT_EQ(platform->requests().arraySize(), 3u);
    EXPECT_EQ(clientPorts().size(), 1u);
}

} // namespace
