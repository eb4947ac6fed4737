// com.quor.db: ids and revisions, the query semantics, marks and purges, merges, watches, and
// requests it must refuse without harm.
#include "BusClient.h"
#include "DbQuery.h"
#include "DbService.h"
#include "DeviceService.h"

#include <gtest/gtest.h>

namespace
{

class DbServiceTest : public SharedBusTest
{
  protected:
    void SetUp() override
    {
        JValue config = JValue::object();
        config.put("file", ":memory:");
        m_service = std::make_unique<emulator::DbService>(config, emulator::DeviceContext());
        std::string error;
        ASSERT_TRUE(m_service->start(error)) << error;
        m_client = std::make_unique<BusClient>();
    }
    void TearDown() override
    {
        m_client.reset();
        m_service.reset();
    }

    JValue db(const std::string& method, const std::string& payload)
    {
        return m_client->call("quor://com.quor.db/" + method, payload);
    }
    std::string put(const std::string& object)
    {
        JValue reply = db("put", "{\"objects\":[" + object + "]}");
        EXPECT_TRUE(reply["returnValue"].asBool()) << reply.stringify();
        return reply["results"][0]["id"].asString();
    }
    JValue find(const std::string& query) { return db("find", "{\"query\":" + query + "}"); }

    std::unique_ptr<emulator::DbService> m_service;
    std::unique_ptr<BusClient> m_client;
};

TEST_F(DbServiceTest, PutAssignsIdsAndEveryWriteANewRevision)
{
    JValue reply = db("put", "{\"objects\":[{\"_kind\":\"k:1\",\"n\":1},{\"_kind\":\"k:1\","
                             "\"_id\":\"mine\",\"n\":2}]}");
    ASSERT_TRUE(reply["returnValue"].asBool()) << reply.stringify();
    JValue results = reply["results"];
    ASSERT_EQ(results.arraySize(), 2u);
    EXPECT_FALSE(results[0]["id"].asString().empty());
    EXPECT_EQ(results[1]["id"].asString(), "mine");
    int64_t rev = results[1]["rev"].asInt64();
    JValue merged = db("merge", "{\"objects\":[{\"_id\":\"mine\",\"n\":3}]}");
    EXPECT_GT(merged["results"][0]["rev"].asInt64(), rev);
    std::string first = results[0]["id"].asString();
    db("merge", "{\"objects\":[{\"_id\":\"" + first + "\",\"n\":4}]}");
    JValue all = find("{\"from\":\"k:1\"}")["results"];
    ASSERT_EQ(all.arraySize(), 2u);
    EXPECT_EQ(all[0]["_id"].asString(), first) << "a write keeps the object's place";
    JValue got = db("get", "{\"ids\":[\"mine\",\"missing\"]}");
    ASSERT_EQ(got["results"].arraySize(), 1u);
    EXPECT_EQ(got["results"][0]["n"].asInt32(), 3);
    EXPECT_EQ(got["results"][0]["_kind"].asString(), "k:1");
}

TEST_F(DbServiceTest, WhereClausesSelectOrderAndLimit)
{
    put("{\"_kind\":\"k:1\",\"n\":1,\"tag\":\"a\"}");
    put("{\"_kind\":\"k:1\",\"n\":3,\"tag\":null}");
    put("{\"_kind\":\"k:1\",\"n\":2}");
    put("{\"_kind\":\"other:1\",\"n\":9}");
    EXPECT_EQ(find("{\"from\":\"k:1\",\"where\":[{\"prop\":\"tag\",\"op\":\"=\",\"val\":null}]}")
                  ["results"]
                      .arraySize(),
              2u)
        << "= null selects a null value and an absent one";
    JValue ordered = find("{\"from\":\"k:1\",\"where\":[{\"prop\":\"n\",\"op\":\">=\",\"val\":2}],"
                          "\"orderBy\":\"n\",\"select\":[\"n\"],\"limit\":1}")["results"];
    ASSERT_EQ(ordered.arraySize(), 1u);
    EXPECT_EQ(ordered[0]["n"].asInt32(), 2);
    EXPECT_TRUE(ordered[0].hasKey("_id"));
    EXPECT_FALSE(ordered[0].hasKey("tag"));
    EXPECT_EQ(find("{\"from\":\"k:1\",\"where\":[{\"prop\":\"tag\",\"op\":\"!=\",\"val\":null}]}")
                  ["results"][0]["tag"]
                      .asString(),
              "a");
}

TEST_F(DbServiceTest, DeletionMarksAndHidesUnlessPurgedOrAsked)
{
    std::string kept = put("{\"_kind\":\"k:1\",\"n\":1}");
    std::string purged = put("{\"_kind\":\"k:1\",\"n\":2}");
    put("{\"_kind\":\"k:1\",\"n\":3}");
    EXPECT_TRUE(db("del", "{\"ids\":[\"" + kept + "\"]}")["returnValue"].asBool());
    EXPECT_TRUE(db("del", "{\"ids\":[\"" + purged + "\"],\"purge\":true}")["returnValue"].asBool());
    EXPECT_EQ(find("{\"from\":\"k:1\"}")["results"].arraySize(), 1u);
    JValue marked =
        find("{\"from\":\"k:1\",\"where\":[{\"prop\":\"_del\",\"op\":\"=\",\"val\":true}]}");
    ASSERT_EQ(marked["results"].arraySize(), 1u);
    EXPECT_EQ(marked["results"][0]["_id"].asString(), kept);
    EXPECT_EQ(db("get", "{\"ids\":[\"" + purged + "\"]}")["results"].arraySize(), 0u);
    EXPECT_EQ(db("del", "{\"query\":{\"from\":\"k:1\"},\"purge\":true}")["count"].asInt32(), 1);
    EXPECT_EQ(m_client->call("quor://com.quor.db/emulator/objects", "{\"from\":\"k:1\"}")["results"]
                  .arraySize(),
              1u)
        << "only the marked object is left";
}

TEST_F(DbServiceTest, MergeByQueryChangesEverySelectedObject)
{
    put("{\"_kind\":\"k:1\",\"readMessage\":true}");
    put("{\"_kind\":\"k:1\",\"readMessage\":true}");
    put("{\"_kind\":\"k:1\",\"readMessage\":false}");
    JValue reply = db("merge", "{\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"readMessage\","
                               "\"op\":\"=\",\"val\":true}]},\"props\":{\"readMessage\":false,"
                               "\"read\":true}}");
    EXPECT_EQ(reply["count"].asInt32(), 2);
    EXPECT_EQ(find("{\"from\":\"k:1\",\"where\":[{\"prop\":\"read\",\"op\":\"=\",\"val\":true}]}")
                  ["results"]
                      .arraySize(),
              2u);
    EXPECT_EQ(db("merge", "{\"objects\":[{\"_id\":\"nobody\",\"a\":1}]}")["returnValue"].asBool(),
              false);
}

TEST_F(DbServiceTest, WatchFiresAtOnceOrAtTheWriteThatMakesItHold)
{
    put("{\"_kind\":\"k:1\",\"a\":1}");
    EXPECT_TRUE(db("watch", "{\"query\":{\"from\":\"k:1\"}}")["fired"].asBool());
    Replies replies;
    m_client->start("quor://com.quor.db/watch",
                    "{\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"a\",\"op\":\"=\","
                    "\"val\":2}]}}",
                    replies);
    runFor(50);
    EXPECT_TRUE(replies.payloads.empty());
    put("{\"_kind\":\"k:1\",\"a\":3}");
    runFor(50);
    EXPECT_TRUE(replies.payloads.empty());
    put("{\"_kind\":\"k:1\",\"a\":2}");
    ASSERT_TRUE(runUntil([&] { return !replies.payloads.empty(); }));
    EXPECT_EQ(replies.payloads[0], "{\"returnValue\":true,\"fired\":true}");
}

TEST_F(DbServiceTest, FindWithWatchGivesResultsThenFiresOnceOnAChange)
{
    put("{\"_kind\":\"k:1\",\"a\":1}");
    Replies replies;
    m_client->start("quor://com.quor.db/find", "{\"query\":{\"from\":\"k:1\"},\"watch\":true}",
                    replies);
    ASSERT_TRUE(runUntil([&] { return !replies.payloads.empty(); }));
    EXPECT_EQ(replies.at(0)["results"].arraySize(), 1u);
    put("{\"_kind\":\"other:1\"}");
    runFor(50);
    EXPECT_EQ(replies.payloads.size(), 1u) << "a write elsewhere changes nothing";
    put("{\"_kind\":\"k:1\",\"a\":2}");
    ASSERT_TRUE(runUntil([&] { return replies.payloads.size() == 2; }));
    EXPECT_TRUE(replies.at(1)["fired"].asBool());
    put("{\"_kind\":\"k:1\",\"a\":3}");
    runFor(50);
    EXPECT_EQ(replies.payloads.size(), 2u);
    m_client->cancel(replies);
}

TEST_F(DbServiceTest, KindsAndTheirObjectsGoTogether)
{
    EXPECT_TRUE(
        db("putKind", "{\"id\":\"k:1\",\"owner\":\"com.quor.kelvvm\"}")["returnValue"].asBool());
    put("{\"_kind\":\"k:1\"}");
    EXPECT_TRUE(db("delKind", "{\"id\":\"k:1\"}")["returnValue"].asBool());
    EXPECT_EQ(find("{\"from\":\"k:1\"}")["results"].arraySize(), 0u);
    EXPECT_FALSE(db("delKind", "{\"id\":\"k:1\"}")["returnValue"].asBool());
}

TEST_F(DbServiceTest, MalformedRequestsAreRefusedAndChangeNothing)
{
    put("{\"_kind\":\"k:1\",\"a\":1}");
    const char* requests[][2] = {
        {"put", "{}"},
        {"put", "{\"objects\":[{\"_kind\":\"k:1\",\"a\":2},{\"a\":3}]}"},
        {"put", "{\"objects\":[{\"_kind\":\"k:1\",\"_id\":7}]}"},
        {"find", "{}"},
        {"find", "{\"query\":{}}"},
        {"find", "{\"query\":{\"from\":\"k:1\",\"where\":{}}}"},
        {"find", "{\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"a\",\"op\":\"~\","
                 "\"val\":1}]}}"},
        {"find", "{\"query\":{\"from\":\"k:1\",\"where\":[{\"prop\":\"a\",\"op\":\"=\"}]}}"},
        {"find", "{\"query\":{\"from\":\"k:1\",\"limit\":-1}}"},
        {"find", "[1,2]"},
        {"get", "{\"ids\":\"a\"}"},
        {"del", "{\"ids\":[1]}"},
        {"del", "{\"query\":{\"from\":\"k:1\"},\"purge\":\"yes\"}"},
        {"merge", "{\"query\":{\"from\":\"k:1\"}}"},
        {"watch", "{\"query\":5}"},
    };
    for (const auto& request : requests) {
        JValue reply = db(request[0], request[1]);
        EXPECT_FALSE(reply["returnValue"].asBool()) << request[0] << " " << request[1];
        EXPECT_LT(reply["errorCode"].asInt32(), 0) << request[1];
        EXPECT_FALSE(reply["errorText"].asString().empty()) << request[1];
    }
    JValue all = find("{\"from\":\"k:1\"}")["results"];
    ASSERT_EQ(all.arraySize(), 1u) << "a refused put stores none of its objects";
    EXPECT_EQ(all[0]["a"].asInt32(), 1);
}

TEST(DbQueryTest, DeletedObjectsOnlyWhenAClauseNamesThem)
{
    JValue deleted = parseJson("{\"_kind\":\"k:1\",\"_del\":true,\"x\":1}");
    JValue live = parseJson("{\"_kind\":\"k:1\",\"x\":1}");
    emulator::DbQuery plain = emulator::DbQuery::parse(parseJson("{\"from\":\"k:1\"}"));
    emulator::DbQuery named = emulator::DbQuery::parse(
        parseJson("{\"from\":\"k:1\",\"where\":[{\"prop\":\"_del\",\"op\":\"=\",\"val\":true},"
                  "{\"prop\":\"reallyDeleted\",\"op\":\"=\",\"val\":null}]}"));
    EXPECT_FALSE(plain.matches(deleted));
    EXPECT_TRUE(plain.matches(live));
    EXPECT_TRUE(named.matches(deleted));
    EXPECT_FALSE(named.matches(live));
}

} // namespace
