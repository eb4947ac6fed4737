// The bus call wrapper against a scripted service on a private bus: reply counts, the subscribe
// payload rule, watches re-issued on "fired", and cancellation.
#include "TamoMessage.h"
#include "TestBus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

// Keeps every call so a test can answer it as often as it wants.
struct Peer {
    TSHandle* handle = nullptr;
    std::vector<TSMessage*> calls;
    std::vector<std::string> payloads;
    int cancels = 0;
};

void peerCancelled(TSHandle*, TSMessage*, void* context)
{
    static_cast<Peer*>(context)->cancels++;
}

bool peerKeep(TSHandle*, TSMessage* message, void* context)
{
    auto* peer = static_cast<Peer*>(context);
    TSMessageRef(message);
    TSMessageSetCancelFunction(message, peerCancelled, peer);
    peer->calls.push_back(message);
    peer->payloads.push_back(TSMessageGetPayload(message));
    return true;
}

const TSMethod kPeerMethods[] = {{"keep", peerKeep, 0}, {}};

struct Received {
    std::vector<std::string> payloads;
};

bool received(TSHandle*, TSMessage* reply, void* context)
{
    static_cast<Received*>(context)->payloads.push_back(TSMessageGetPayload(reply));
    return true;
}

class TamoMessageTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_bus = std::make_unique<TestBus>();
        ASSERT_TRUE(TSRegister("com.quor.peer", &m_peer.handle, nullptr));
        ASSERT_TRUE(
            TSRegisterCategory(m_peer.handle, "/", kPeerMethods, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSCategorySetData(m_peer.handle, "/", &m_peer, nullptr));
        ASSERT_TRUE(TSGmainAttach(m_peer.handle, nullptr, nullptr));
        ASSERT_TRUE(TSRegisterAnonymous(&m_client, nullptr));
        ASSERT_TRUE(TSGmainAttach(m_client, nullptr, nullptr));
    }

    void TearDown() override
    {
        for (TSMessage* call : m_peer.calls)
            TSMessageUnref(call);
        TSUnregister(m_client, nullptr);
        TSUnregister(m_peer.handle, nullptr);
    }

    void answer(size_t call, const std::string& payload)
    {
        ASSERT_LT(call, m_peer.calls.size());
        ASSERT_TRUE(TSMessageRespond(m_peer.calls[call], payload.c_str(), nullptr));
    }

    bool waitCalls(size_t n)
    {
        return runUntil([&] { return m_peer.calls.size() == n; });
    }

    std::unique_ptr<TestBus> m_bus;
    Peer m_peer;
    TSHandle* m_client = nullptr;
    Received m_received;
};

TEST_F(TamoMessageTest, OneShotPassesOneReplyThenCancelsAndDeletesItself)
{
    // A subscription payload lets the peer send a second reply, which must never arrive.
    TamoMessage::request(m_client, "quor://com.quor.peer/keep", "{\"subscribe\":true}", received,
                         &m_received, 1, true);
    ASSERT_TRUE(waitCalls(1));
    answer(0, "{\"n\":1}");
    ASSERT_TRUE(runUntil([&] { return m_peer.cancels == 1; }));
    TSMessageRespond(m_peer.calls[0], "{\"n\":2}", nullptr);
    runFor(50);
    EXPECT_EQ(m_received.payloads, (std::vector<std::string>{"{\"n\":1}"}));
}

bool throwing(TSHandle*, TSMessage*, void* context)
{
    static_cast<Received*>(context)->payloads.push_back("thrown");
    throw std::runtime_error("handler failed");
}

TEST_F(TamoMessageTest, UnansweredSelfDeletingCallsAreDroppedWithTheirHandleOnly)
{
    // Fire-and-forget calls whose reply never comes: dropped when their handle goes (the leak
    // checker sees the rest), while a call of another handle stays. Subscription payloads make
    // the cancellations visible to the peer.
    const std::string payload = "{\"subscribe\":true}";
    const char* uri = "quor://com.quor.peer/keep";
    TamoMessage::request(m_client, uri, payload, nullptr, nullptr, 1, true);
    TamoMessage::request(m_client, uri, payload, nullptr, nullptr, 1, true);
    // Calls of two connections may reach the peer in either order: the third is sent last.
    ASSERT_TRUE(waitCalls(2));
    TamoMessage::request(m_peer.handle, uri, payload, received, &m_received, 1, true);
    ASSERT_TRUE(waitCalls(3));
    TamoMessage::dropPending(m_client);
    ASSERT_TRUE(runUntil([&] { return m_peer.cancels == 2; }));
    answer(2, "{\"n\":1}");
    ASSERT_TRUE(runUntil([&] { return m_received.payloads.size() == 1; }));
    runFor(50);
    EXPECT_EQ(m_peer.cancels, 3) << "the answered call ends itself";
}

TEST_F(TamoMessageTest, AThrowingHandlerStillEndsTheCall)
{
    TamoMessage::request(m_client, "quor://com.quor.peer/keep", "{\"subscribe\":true}", throwing,
                         &m_received, 1, true);
    ASSERT_TRUE(waitCalls(1));
    answer(0, "{}");
    // The wrapper cancelled its call (and, under the leak checker, was deleted) after the throw.
    ASSERT_TRUE(runUntil([&] { return m_peer.cancels == 1; }));
    EXPECT_EQ(m_received.payloads, (std::vector<std::string>{"thrown"}));
}

TEST_F(TamoMessageTest, CountTwoPassesTwoRepliesAndStaysWithItsOwner)
{
    std::unique_ptr<TamoMessage> message(TamoMessage::request(m_client, "quor://com.quor.peer/keep",
                                                              "{\"subscribe\":true}", received,
                                                              &m_received, 2, false));
    ASSERT_TRUE(waitCalls(1));
    for (int i = 1; i <= 3; i++)
        answer(0, "{\"n\":" + std::to_string(i) + "}");
    ASSERT_TRUE(runUntil([&] { return m_peer.cancels == 1; }));
    runFor(50);
    EXPECT_EQ(m_received.payloads, (std::vector<std::string>{"{\"n\":1}", "{\"n\":2}"}));
    EXPECT_EQ(message->token(), 0u);
}

TEST_F(TamoMessageTest, SubscriptionPassesEveryReplyAndDeletingItCancels)
{
    auto* message = TamoMessage::subscribe(m_client, "quor://com.quor.peer/keep",
                                           "{\"activityId\":5}", received, &m_received);
    ASSERT_TRUE(waitCalls(1));
    EXPECT_EQ(m_peer.payloads[0], "{\"activityId\":5,\"subscribe\":true}");
    for (int i = 0; i < 4; i++)
        answer(0, "{\"event\":" + std::to_string(i) + "}");
    ASSERT_TRUE(runUntil([&] { return m_received.payloads.size() == 4; }));
    delete message;
    EXPECT_TRUE(runUntil([&] { return m_peer.cancels == 1; }));
}

TEST_F(TamoMessageTest, SubscribeKeepsAnExplicitSubscribeValue)
{
    std::unique_ptr<TamoMessage> message(TamoMessage::subscribe(
        m_client, "quor://com.quor.peer/keep", "{\"subscribe\":false}", received, &m_received));
    ASSERT_TRUE(waitCalls(1));
    EXPECT_EQ(m_peer.payloads[0], "{\"subscribe\":false}");
    message->cancel();
    message->cancel(); // harmless
    EXPECT_EQ(message->token(), 0u);
}

TEST_F(TamoMessageTest, WatchReissuesOnFiredAndPassesEverythingElse)
{
    const std::string query = "{\"query\":{\"from\":\"k\"},\"watch\":true}";
    std::unique_ptr<TamoMessage> watch(
        TamoMessage::watch(m_client, "quor://com.quor.peer/keep", query, received, &m_received));
    ASSERT_TRUE(waitCalls(1));
    answer(0, "{\"returnValue\":true,\"results\":[]}");
    answer(0, "{\"returnValue\":true,\"fired\":false}");
    answer(0, "\"not an object\"");
    answer(0, "{\"returnValue\":true,\"fired\":true}");
    ASSERT_TRUE(waitCalls(2));
    EXPECT_EQ(m_peer.payloads[1], query);
    answer(1, "{\"returnValue\":true,\"results\":[1]}");
    ASSERT_TRUE(runUntil([&] { return m_received.payloads.size() == 3; }));
    EXPECT_EQ(m_received.payloads,
              (std::vector<std::string>{"{\"returnValue\":true,\"results\":[]}",
                                        "{\"returnValue\":true,\"fired\":false}",
                                        "{\"returnValue\":true,\"results\":[1]}"}));
    EXPECT_EQ(m_peer.cancels, 1) << "the fired call is cancelled before the new one";
}

TEST_F(TamoMessageTest, CallThatCannotBeIssuedThrowsTheBusText)
{
    try {
        TamoMessage::request(m_client, "not a uri", "{}", received, &m_received, 1, true);
        FAIL() << "no exception";
    } catch (const TamoMessageException& e) {
        EXPECT_NE(std::string(e.what()).find("Malformed URI"), std::string::npos) << e.what();
    }
}

TEST_F(TamoMessageTest, UndeliverableCallReachesTheCallbackAsFailure)
{
    TamoMessage::request(m_client, "quor://com.quor.absent/keep", "{}", received, &m_received, 1,
                         true);
    ASSERT_TRUE(runUntil([&] { return m_received.payloads.size() == 1; }));
    EXPECT_EQ(m_received.payloads[0].rfind("{\"returnValue\":false", 0), 0u);
}

} // namespace
