// The database client: the query builder's shape and the payload each operation sends, as a
// database stand-in that echoes every payload receives it.
#include "KelVvmLog.h"
#include "TamoMessage.h"
#include "TestBus.h"
#include "ZephDB.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

struct Received {
    std::vector<std::string> methods;
    std::vector<std::string> payloads;
};

bool echo(TSHandle*, TSMessage* message, void* context)
{
    auto* received = static_cast<Received*>(context);
    received->methods.push_back(TSMessageGetMethod(message));
    received->payloads.push_back(TSMessageGetPayload(message));
    TSMessageRespond(message, "{\"returnValue\":true}", nullptr);
    return true;
}

const TSMethod kMethods[] = {{"find", echo, 0},    {"watch", echo, 0},   {"get", echo, 0},
                             {"put", echo, 0},     {"merge", echo, 0},   {"del", echo, 0},
                             {"putKind", echo, 0}, {"delKind", echo, 0}, {}};

bool countReply(TSHandle*, TSMessage*, void* context)
{
    ++*static_cast<int*>(context);
    return true;
}

class ZephDBTest : public SharedBusTest
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(TSRegister("com.quor.db", &m_db, nullptr));
        ASSERT_TRUE(TSRegisterCategory(m_db, "/", kMethods, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSCategorySetData(m_db, "/", &m_received, nullptr));
        ASSERT_TRUE(TSGmainAttach(m_db, nullptr, nullptr));
        ASSERT_TRUE(TSRegisterAnonymous(&m_client, nullptr));
        ASSERT_TRUE(TSGmainAttach(m_client, nullptr, nullptr));
    }
    void TearDown() override
    {
        TSUnregister(m_client, nullptr);
        TSUnregister(m_db, nullptr);
    }

    // The payload that reached the database for the one operation `send` made.
    std::string sent(const std::string& method, const std::function<void()>& send)
    {
        size_t before = m_received.payloads.size();
        int repliesBefore = m_replies;
        send();
        // The reply too: a one-shot call's wrapper goes only once its reply has come.
        EXPECT_TRUE(runUntil(
            [&] { return m_received.payloads.size() > before && m_replies > repliesBefore; }));
        if (m_received.payloads.size() <= before)
            return "";
        EXPECT_EQ(m_received.methods.back(), method);
        return m_received.payloads.back();
    }

    TSHandle* m_db = nullptr;
    TSHandle* m_client = nullptr;
    Received m_received;
    int m_replies = 0;
};

TEST(ZephDBQueryTest, FreshAndFromOnly)
{
    ZephDBQuery query;
    EXPECT_EQ(query.toString(), "{\"query\":{}}");
    query.from("com.quor.vvm.kelmailbox:1");
    query.from("com.quor.vvm.kelmessages:1");
    EXPECT_EQ(query.toString(), "{\"query\":{\"from\":\"com.quor.vvm.kelmessages:1\"}}");
}

TEST(ZephDBQueryTest, ClausesAndSelectKeepCallOrder)
{
    ZephDBQuery query;
    query.from("k:1");
    query.where("_del", "=", true);
    query.where("reallyDeleted", "=", JValue());
    query.select("id");
    query.select("audioPath");
    EXPECT_EQ(query.toString(),
              "{\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"_del\",\"op\":\"=\",\"val\":"
              "true},{\"prop\":\"reallyDeleted\",\"op\":\"=\",\"val\":null}],\"select\":[\"id\","
              "\"audioPath\"]}}");
    JValue inner = query.getInnerQuery();
    inner.put("limit", int32_t(3));
    EXPECT_NE(query.toString().find("\"limit\":3"), std::string::npos)
        << "the inner query is a handle on the builder's object";
}

TEST_F(ZephDBTest, FindGetAndWatchPayloads)
{
    ZephDBQuery query;
    query.from("k:1");
    query.where("readMessage", "=", true);
    EXPECT_EQ(sent("find", [&] { ZephDB::find(m_client, countReply, &m_replies, query, false); }),
              "{\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"readMessage\",\"op\":\"=\","
              "\"val\":true}]}}");
    TamoMessage* watched = nullptr;
    EXPECT_EQ(sent("find",
                   [&] { watched = ZephDB::find(m_client, countReply, &m_replies, query, true); }),
              "{\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"readMessage\",\"op\":\"=\","
              "\"val\":true}]},\"watch\":true}");
    delete watched;
    TamoMessage* watch = nullptr;
    EXPECT_EQ(
        sent("watch", [&] { watch = ZephDB::watch(m_client, countReply, &m_replies, query); }),
        query.toString());
    delete watch;
    JValue ids = JValue::array();
    ids.append("a");
    ids.append("b");
    EXPECT_EQ(sent("get", [&] { ZephDB::get(m_client, countReply, &m_replies, ids); }),
              "{\"ids\":[\"a\",\"b\"]}");
    EXPECT_EQ(sent("get", [&] { ZephDB::get(m_client, countReply, &m_replies, std::string("x")); }),
              "{\"ids\":[\"x\"]}");
}

TEST_F(ZephDBTest, PutAndMergeWrapASingleObject)
{
    JValue one = JValue::object();
    one.put("_kind", "k:1");
    JValue many = JValue::array();
    many.append(one);
    many.append(one);
    EXPECT_EQ(sent("put", [&] { ZephDB::put(m_client, countReply, &m_replies, one); }),
              "{\"objects\":[{\"_kind\":\"k:1\"}]}");
    EXPECT_EQ(sent("put", [&] { ZephDB::put(m_client, countReply, &m_replies, many); }),
              "{\"objects\":[{\"_kind\":\"k:1\"},{\"_kind\":\"k:1\"}]}");
    EXPECT_EQ(sent("merge", [&] { ZephDB::merge(m_client, countReply, &m_replies, one); }),
              "{\"objects\":[{\"_kind\":\"k:1\"}]}");
    ZephDBQuery query;
    query.from("k:1");
    JValue props = JValue::object();
    props.put("read", true);
    EXPECT_EQ(sent("merge", [&] { ZephDB::merge(m_client, countReply, &m_replies, query, props); }),
              "{\"query\":{\"from\":\"k:1\"},\"props\":{\"read\":true}}");
}

TEST_F(ZephDBTest, DelSendsPurgeOnlyWhenTrue)
{
    ZephDBQuery query;
    query.from("k:1");
    JValue ids = JValue::array();
    ids.append("a");
    EXPECT_EQ(sent("del", [&] { ZephDB::del(m_client, countReply, &m_replies, query, false); }),
              "{\"query\":{\"from\":\"k:1\"}}");
    EXPECT_EQ(sent("del", [&] { ZephDB::del(m_client, countReply, &m_replies, query, true); }),
              "{\"query\":{\"from\":\"k:1\"},\"purge\":true}");
    EXPECT_EQ(sent("del", [&] { ZephDB::del(m_client, countReply, &m_replies, ids, false); }),
              "{\"ids\":[\"a\"]}");
    EXPECT_EQ(
        sent("del", [&] { ZephDB::del(m_client, countReply, &m_replies, std::string("a"), true); }),
        "{\"ids\":[\"a\"],\"purge\":true}");
}

TEST_F(ZephDBTest, KindPayloads)
{
    JValue kind = JValue::object();
    kind.put("id", "k:1");
    kind.put("owner", "com.quor.kelvvm");
    EXPECT_EQ(sent("putKind", [&] { ZephDB::putKind(m_client, countReply, &m_replies, kind); }),
              "{\"id\":\"k:1\",\"owner\":\"com.quor.kelvvm\"}");
    EXPECT_EQ(sent("delKind",
                   [&] { ZephDB::delKind(m_client, countReply, &m_replies, std::string("k:1")); }),
              "{\"id\":\"k:1\"}");
}

} // namespace
