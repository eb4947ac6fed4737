// A new-voicemail notification against nimbos-emulator: the mailbox is created, the account
// subscribed, and ten calls become ten records, ten complete audio files and ten delivery
// reports; a second run finds nothing to do.
#include "MailboxSession.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace
{

std::string contentOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

TEST(MailboxEndToEnd, TenCallsAreStoredDownloadedAndDeliveredOnceOnly)
{
    MailboxSession session(NIMBOS_EMULATOR, 10, 4);

    EXPECT_EQ(session.synchronize().stringify(), "{\"returnValue\":true}");

    JValue mailbox =
        session.call("quor://com.quor.db/find",
                     "{\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"}}")["results"];
    ASSERT_EQ(mailbox.arraySize(), 1u);
    EXPECT_EQ(mailbox[0]["status"].asString(), "active");
    JValue records =
        session.call("quor://com.quor.db/find",
                     "{\"query\":{\"from\":\"com.quor.vvm.kelmessages:1\"}}")["results"];
    ASSERT_EQ(records.arraySize(), 10u);
    JValue calls = session.platform("mailbox")["mailbox"]["calls"];
    ASSERT_EQ(calls.arraySize(), 10u);
    std::map<std::string, JValue> stored;
    for (size_t i = 0; i < records.arraySize(); i++)
        stored[records[i]["id"].asString()] = records[i];
    for (size_t i = 0; i < calls.arraySize(); i++) {
        std::string id = calls[i]["id"].asString();
        SCOPED_TRACE(id);
        ASSERT_EQ(stored.count(id), 1u);
        const std::string path = session.mediaFolder() + id + ".amr";
        EXPECT_EQ(stored[id]["audioPath"].asString(), path);
        std::string audio = contentOf(path);
        EXPECT_EQ(int64_t(audio.size()), calls[i]["audioSize"].asInt64());
        EXPECT_EQ(stored[id]["size"].asInt64(), calls[i]["audioSize"].asInt64());
        EXPECT_EQ(audio.compare(0, 6, "#!AMR\n"), 0);
        EXPECT_TRUE(calls[i]["delivered"].asBool());
    }
    EXPECT_EQ(session.platform("downloads")["downloads"].arraySize(), 10u);

    session.platform("clearRequests");
    EXPECT_EQ(session.synchronize().stringify(), "{\"returnValue\":true}");
    JValue again = session.call("quor://com.quor.db/find",
                                "{\"query\":{\"from\":\"com.quor.vvm.kelmessages:1\"}}")["results"];
    ASSERT_EQ(again.arraySize(), 10u);
    for (size_t i = 0; i < again.arraySize(); i++)
        EXPECT_EQ(again[i]["_rev"], stored[again[i]["id"].asString()]["_rev"]);
    EXPECT_EQ(session.platform("downloads")["downloads"].arraySize(), 0u);
    JValue requests = session.platform("requests")["requests"];
    for (size_t i = 0; i < requests.arraySize(); i++) {
        std::string body = requests[i]["body"].asString();
        EXPECT_EQ(body.find("deliverMultipleMessages"), std::string::npos);
        EXPECT_EQ(body.find("getMessageVocalById"), std::string::npos);
    }
}
