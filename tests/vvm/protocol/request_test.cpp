// The SOAP operations: their bodies byte for byte, the envelope and headers as the emulated
// platform receives them, the typed answers, and the retries with their waits.
#include "Base64.h"
#include "PlatformFixture.h"

#include <httplib.h>

#include <mutex>
#include <thread>

namespace
{

const std::string kProject = "<web:codeProjet>QORVVM</web:codeProjet>";

const char* const kCalls =
    "[{\"id\":\"101\",\"caller\":\"0601020304\",\"state\":\"NEW_MSG\",\"duration\":42},"
    "{\"id\":\"102\",\"caller\":\"anonymous\",\"state\":\"NO_MSG\"},"
    "{\"id\":\"103\",\"state\":\"ARC_MSG\",\"delivered\":true,\"duration\":3}]";

class Request : public PlatformFixture
{
  protected:
    void SetUp() override
    {
        PlatformFixture::SetUp();
        startPlatform(kCalls);
    }

    JValue call(const std::string& id) { return platform->call(id); }

    std::string detail(KelVvmResponse& response)
    {
        EXPECT_EQ(response.getType(), RESPONSE_FAULT);
        return static_cast<KelVvmFaultResponse&>(response).m_detailStatus;
    }
};

TEST(RequestBody, EveryOperationIsItsPiecesWithoutWhiteSpace)
{
    const std::pair<std::string, std::string> cases[] = {
        {KelVvmRequest::subscribeBody(),
         "<web:subscribe>" + kProject + "<web:callPSG>false</web:callPSG></web:subscribe>"},
        {KelVvmRequest::getUserProfileBody(),
         "<web:getUserProfile>" + kProject + "</web:getUserProfile>"},
        {KelVvmRequest::setUserProfileBody(),
         "<web:setProfile>" + kProject + "<web:toggles></web:toggles></web:setProfile>"},
        {KelVvmRequest::setInviteMessageBody("#!AMR\n", 6),
         "<web:setInviteMessage>" + kProject +
             "<web:format>AMR</web:format><web:content>IyFBTVIK</web:content>"
             "<web:inviteType>PRIMARY</web:inviteType></web:setInviteMessage>"},
        {KelVvmRequest::setInviteMessageBody("", 0),
         "<web:setInviteMessage>" + kProject +
             "<web:format>AMR</web:format><web:content></web:content>"
             "<web:inviteType>PRIMARY</web:inviteType></web:setInviteMessage>"},
        {KelVvmRequest::getAllMessagesBody(),
         "<web:getAllCallOpti>" + kProject +
             "<web:index>0</web:index><web:nb>-1</web:nb></web:getAllCallOpti>"},
        {KelVvmRequest::getMessageInfoBody("101", "AMR"),
         "<web:getMessageVocalById>" + kProject +
             "<web:idCall>101</web:idCall><web:formatMsgVocal>AMR</web:formatMsgVocal>"
             "</web:getMessageVocalById>"},
        {KelVvmRequest::archiveMessageBody("101"),
         "<web:archiveCall>" + kProject +
             "<web:idCall>101</web:idCall><web:typeMessage>VOCAL_MSG</web:typeMessage>"
             "</web:archiveCall>"},
        {KelVvmRequest::deleteMessagesBody({"1", "2", "3"}),
         "<web:deleteMultipleMessages>" + kProject +
             "<web:selector><web:mesgIds><web:string>1</web:string><web:string>2</web:string>"
             "<web:string>3</web:string></web:mesgIds></web:selector>"
             "</web:deleteMultipleMessages>"},
        {KelVvmRequest::deleteMessagesBody({}),
         "<web:deleteMultipleMessages>" + kProject +
             "<web:selector><web:mesgIds></web:mesgIds></web:selector>"
             "</web:deleteMultipleMessages>"},
        {KelVvmRequest::deliverMessagesBody({"9"}),
         "<web:deliverMultipleMessages>" + kProject +
             "<web:selector><web:mesgIds><web:string>9</web:string></web:mesgIds>"
             "</web:selector></web:deliverMultipleMessages>"},
        // Argument texts are escaped; nothing else changes.
        {KelVvmRequest::archiveMessageBody("1</web:idCall><x>&\"'"),
         "<web:archiveCall>" + kProject +
             "<web:idCall>1&lt;/web:idCall&gt;&lt;x&gt;&amp;&quot;'</web:idCall>"
             "<web:typeMessage>VOCAL_MSG</web:typeMessage></web:archiveCall>"},
        {KelVvmRequest::getMessageInfoBody("a-B_9.z", "WAV<"),
         "<web:getMessageVocalById>" + kProject +
             "<web:idCall>a-B_9.z</web:idCall><web:formatMsgVocal>WAV&lt;</web:formatMsgVocal>"
             "</web:getMessageVocalById>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.first, c.second);
}

TEST(RequestBody, EnvelopeDeclaresBothNamespacesAndAnEmptyHeader)
{
    KelVvmRequest::s_webNamespace = "http://ws.test.invalid/";
    EXPECT_EQ(KelVvmRequest::envelope("<web:x/>"),
              "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "xmlns:web=\"http://ws.test.invalid/\"><soapenv:Header/><soapenv:Body><web:x/>"
              "</soapenv:Body></soapenv:Envelope>");
}

TEST_F(Request, EnvelopeAndHeadersReachThePlatformAsBuilt)
{
    // Large enough that libcurl would otherwise announce "Expect: 100-continue".
    std::string greeting = "#!AMR\n" + std::string(2 << 20, '\x3c');
    const struct {
        std::function<std::unique_ptr<KelVvmResponse>()> send;
        std::string body;
    } cases[] = {
        {[] { return KelVvmRequest::getAllMessages(); }, KelVvmRequest::getAllMessagesBody()},
        {[&] { return KelVvmRequest::setInviteMessage(greeting.data(), int(greeting.size())); },
         KelVvmRequest::setInviteMessageBody(greeting.data(), int(greeting.size()))},
    };
    for (const auto& c : cases) {
        std::unique_ptr<KelVvmResponse> response = c.send();
        EXPECT_NE(response->getType(), RESPONSE_BAD);
        JValue seen = lastRequest();
        std::string envelope = KelVvmRequest::envelope(c.body);
        EXPECT_EQ(seen["method"].asString(), "POST");
        EXPECT_EQ(seen["path"].asString(), "/vvm/services/FrontServiceDirect");
        EXPECT_EQ(seen["body"].asString(), envelope);
        JValue headers = seen["headers"];
        EXPECT_EQ(headers["Content-Length"].asString(), std::to_string(envelope.size()));
        EXPECT_EQ(headers["Content-Type"].asString(), "text/xml;charset=UTF-8");
        EXPECT_EQ(headers["Connection"].asString(), "close");
        EXPECT_EQ(headers["User-Agent"].asString(), "KelVvmTest/1.0");
        EXPECT_FALSE(headers.hasKey("SOAPAction"));
        EXPECT_FALSE(headers.hasKey("Expect"));
    }
    EXPECT_EQ(platform->greeting(), greeting);
    EXPECT_FALSE(platform->mailbox()["greeting"]["size"].asInt64() == 0);
    EXPECT_TRUE(waits().empty());
}

TEST_F(Request, AnswersArriveTyped)
{
    auto list = KelVvmRequest::getAllMessages();
    ASSERT_EQ(list->getType(), RESPONSE_MESSAGES);
    const auto& messages = static_cast<KelVvmGetAllMessagesResponse&>(*list).m_messages;
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].m_callId, "101");
    EXPECT_EQ(messages[0].m_duration, 42000);
    EXPECT_EQ(messages[0].m_audioUrl, call("101")["audioUrl"].asString());
    EXPECT_EQ(messages[1].m_caller, "unknown caller");
    EXPECT_TRUE(messages[1].m_noMessage);
    EXPECT_TRUE(messages[2].m_delivered);

    auto info = KelVvmRequest::getMessageInfo("101", "AMR");
    ASSERT_EQ(info->getType(), RESPONSE_MESSAGE_INFO);
    // The platform names the format asked for in the address of a message info.
    EXPECT_EQ(static_cast<KelVvmGetMessageInfoResponse&>(*info).m_message.m_audioUrl,
              call("101")["audioUrl"].asString() + "?format=AMR");

    auto profile = KelVvmRequest::getUserProfile();
    ASSERT_EQ(profile->getType(), RESPONSE_USER_PROFILE);
    EXPECT_FALSE(static_cast<KelVvmGetUserProfileResponse&>(*profile).m_vvmInscription);

    EXPECT_EQ(KelVvmRequest::setUserProfile()->getType(), RESPONSE_OK);
}

TEST_F(Request, OperationsChangeTheMailbox)
{
    ASSERT_EQ(KelVvmRequest::subscribe()->getType(), RESPONSE_OK);
    EXPECT_TRUE(platform->mailbox()["account"]["subscribed"].asBool());
    EXPECT_EQ(detail(*KelVvmRequest::subscribe()), "Subscribe_AlreadySubscribed");

    ASSERT_EQ(KelVvmRequest::archiveMessage("101")->getType(), RESPONSE_OK);
    EXPECT_EQ(call("101")["state"].asString(), "ARC_MSG");

    ASSERT_EQ(KelVvmRequest::deliverMessage("101")->getType(), RESPONSE_OK);
    EXPECT_TRUE(call("101")["delivered"].asBool());

    ASSERT_EQ(KelVvmRequest::deleteMessages({"101", "103"})->getType(), RESPONSE_OK);
    EXPECT_TRUE(call("101").isNull());
    EXPECT_TRUE(call("103").isNull());
    ASSERT_EQ(KelVvmRequest::deleteMessage("102")->getType(), RESPONSE_OK);
    EXPECT_EQ(platform->mailbox()["calls"].arraySize(), 0u);
}

TEST_F(Request, AnInjectedIdentifierStaysOneIdentifier)
{
    auto response = KelVvmRequest::archiveMessage("999</web:idCall><web:idCall>101");
    EXPECT_EQ(detail(*response), "Generic_MessageNotFound");
    EXPECT_EQ(call("101")["state"].asString(), "NEW_MSG");
}

TEST_F(Request, FaultsReturnAtOnce)
{
    control("{\"command\":\"setAccount\",\"exists\":false}");
    EXPECT_EQ(detail(*KelVvmRequest::subscribe()), "Generic_UserNotFound");
    control("{\"command\":\"setAccount\",\"exists\":true,\"subscriptionPending\":true}");
    EXPECT_EQ(detail(*KelVvmRequest::subscribe()), "Subscribe_RunningSubscription");
    control(
        "{\"command\":\"failSoap\",\"operation\":\"getAllCallOpti\",\"fault\":\"Generic_Down\"}");
    auto fault = KelVvmRequest::getAllMessages();
    EXPECT_EQ(detail(*fault), "Generic_Down");
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(platform->requests().arraySize(), 3u);
}

TEST_F(Request, FailedAttemptsAreRetriedWithGrowingWaits)
{
    control("{\"command\":\"failSoap\",\"httpStatus\":404,\"count\":5}");
    auto response = KelVvmRequest::getAllMessages();
    EXPECT_EQ(response->getType(), RESPONSE_BAD);
    EXPECT_EQ(waits(), std::vector<unsigned>({20, 30, 40, 50}));
    EXPECT_EQ(platform->requests().arraySize(), 5u);

    // A malformed answer, an early close and a 503 each cost one attempt; the fourth succeeds.
    waits().clear();
    control("{\"command\":\"failSoap\",\"malformed\":true}");
    control("{\"command\":\"failSoap\",\"close\":true}");
    control("{\"command\":\"failSoap\",\"httpStatus\":503,\"body\":\"busy\"}");
    EXPECT_EQ(KelVvmRequest::archiveMessage("101")->getType(), RESPONSE_OK);
    EXPECT_EQ(waits(), std::vector<unsigned>({20, 30, 40}));
    EXPECT_EQ(call("101")["state"].asString(), "ARC_MSG");
}

// Sends each request on with a 301, a 302 and then a 303 to `target`, and keeps what it saw.
class Redirector
{
  public:
    explicit Redirector(const std::string& target)
    {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        const std::pair<const char*, int> hops[] = {{"/a", 301}, {"/b", 302}, {"/c", 303}};
        for (size_t i = 0; i < 3; i++) {
            std::string next = i < 2 ? url(hops[i + 1].first) : target;
            int status = hops[i].second;
            auto redirect = [this, next, status](const httplib::Request& request,
                                                 httplib::Response& response) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_seen.push_back(request.method + " " + request.path + " " + request.body);
                response.status = status;
                response.set_header("Location", next);
            };
            m_server.Post(hops[i].first, redirect);
            m_server.Get(hops[i].first, redirect);
        }
        // A request that announces a body it never sends must not hold the test up.
        m_server.set_read_timeout(1, 0);
        // Bound already: connections wait in the backlog until the loop takes them.
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~Redirector()
    {
        m_server.stop();
        m_thread.join();
    }
    std::string url(const char* path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::vector<std::string> seen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

  private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_seen;
};

TEST_F(Request, APostStaysAPostAcrossRedirects)
{
    Redirector redirector(platform->serviceUrl());
    KelVvmRequest::s_vvmUrl = redirector.url("/a");
    std::string envelope = KelVvmRequest::envelope(KelVvmRequest::archiveMessageBody("101"));

    EXPECT_EQ(KelVvmRequest::archiveMessage("101")->getType(), RESPONSE_OK);
    EXPECT_EQ(redirector.seen(),
              std::vector<std::string>(
                  {"POST /a " + envelope, "POST /b " + envelope, "POST /c " + envelope}));
    JValue seen = lastRequest();
    EXPECT_EQ(seen["method"].asString(), "POST");
    EXPECT_EQ(seen["body"].asString(), envelope);
    EXPECT_EQ(call("101")["state"].asString(), "ARC_MSG");
    EXPECT_TRUE(waits().empty());
}

TEST_F(Request, AnUnreachablePlatformGivesABadResponse)
{
    KelVvmRequest::s_vvmUrl = "http://127.0.0.1:1/vvm/services/FrontServiceDirect";
    EXPECT_EQ(KelVvmRequest::getUserProfile()->getType(), RESPONSE_BAD);
    EXPECT_EQ(waits().size(), 4u);
}

TEST_F(Request, WhatNoAttemptCanMendIsNeitherSentNorRetried)
{
    const std::string zero("10\0"
                           "1",
                           4);
    EXPECT_EQ(KelVvmRequest::getMessageInfo(zero, "AMR")->getType(), RESPONSE_BAD);
    EXPECT_EQ(KelVvmRequest::archiveMessage(std::string(1024 * 1024, '1'))->getType(),
              RESPONSE_BAD);
    EXPECT_EQ(KelVvmRequest::deliverMessages({"101", "\x7f"})->getType(), RESPONSE_BAD);
    EXPECT_EQ(KelVvmRequest::deleteMessage(std::string(256, '1'))->getType(), RESPONSE_BAD);
    EXPECT_EQ(platform->requests().arraySize(), 0u);
    // The longest identifier allowed still goes out.
    EXPECT_EQ(detail(*KelVvmRequest::archiveMessage(std::string(255, '1'))),
              "Generic_MessageNotFound");

    KelVvmRequest::s_vvmUrl = "ftp://127.0.0.1/vvm/services/FrontServiceDirect";
    EXPECT_EQ(KelVvmRequest::getUserProfile()->getType(), RESPONSE_BAD);
    EXPECT_TRUE(waits().empty());
}

} // namespace
