// The synchronization of the message records with the emulated platform's call list: what is
// deleted, merged, archived, fetched, stored and delivered, and how failures end or skip.
#include "SyncFixture.h"

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace
{

const char* const kMessageKind = "com.quor.vvm.kelmessages:1";

bool exists(const std::string& path)
{
    struct stat file;
    return stat(path.c_str(), &file) == 0;
}

long long sizeOf(const std::string& path)
{
    struct stat file;
    return stat(path.c_str(), &file) == 0 ? file.st_size : -1;
}

} // namespace

using SynchronizationTest = SyncFixture;

TEST_F(SynchronizationTest, DeletesVanishedCallsTrustsArchivedStatesAndFetchesNewOnes)
{
    startPlatform("[{\"id\":\"102\",\"state\":\"ARC_MSG\",\"duration\":1},"
                  "{\"id\":\"103\",\"state\":\"NEW_MSG\",\"duration\":2,\"caller\":\"0601\"}]");
    putMailbox();
    putRecord("101", false);
    std::string record102 = putRecord("102", false);

    JValue answer = run("sync");
    EXPECT_EQ(answer.stringify(), "{\"returnValue\":true}");

    std::map<std::string, JValue> stored = messages();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored.count("101"), 0u);
    EXPECT_EQ(stored["102"]["_id"].asString(), record102);
    EXPECT_TRUE(stored["102"]["read"].asBool());
    JValue fresh = stored["103"];
    const std::string path = m_media + "103.amr";
    long long audioSize = m_platform->call("103")["audioSize"].asInt64();
    EXPECT_EQ(fresh["audioPath"].asString(), path);
    EXPECT_EQ(fresh["size"].asInt64(), audioSize);
    EXPECT_EQ(sizeOf(path), audioSize);
    EXPECT_FALSE(fresh["read"].asBool());
    EXPECT_FALSE(fresh["kelNoMessage"].asBool());
    EXPECT_EQ(fresh["kelStatus"].asString(), "NEW_MSG");
    EXPECT_EQ(fresh["from"]["addr"].asString(), "0601");
    EXPECT_EQ(fresh["duration"].asInt64(), 2000);
    // Deleted without purge: the delete activity picks the record up later.
    JValue deleted = db("find", std::string("{\"query\":{\"from\":\"") + kMessageKind +
                                    "\",\"where\":[{\"prop\":\"_del\",\"op\":\"=\","
                                    "\"val\":true}]}}")["results"];
    ASSERT_EQ(deleted.arraySize(), 1u);
    EXPECT_EQ(deleted[0]["id"].asString(), "101");

    EXPECT_TRUE(m_platform->call("103")["delivered"].asBool());
    EXPECT_FALSE(m_platform->call("102")["delivered"].asBool());
    EXPECT_EQ(operations(),
              (std::vector<std::string>{"getUserProfile", "getAllCallOpti", "getMessageVocalById",
                                        "deliverMultipleMessages"}));
    // The download used the address of the message info, not the list's.
    JValue downloads = m_platform->downloads();
    ASSERT_EQ(downloads.arraySize(), 1u);
    EXPECT_EQ(downloads[0]["id"].asString(), "103");
    EXPECT_EQ(downloads[0]["format"].asString(), "AMR");
    EXPECT_TRUE(logged("handleSynchronization: 1 New - 1 Removed - 1 Updated"));
    EXPECT_TRUE(
        logged("Download URL: " + m_platform->call("103")["audioUrl"].asString() + "?format=AMR"));
    EXPECT_TRUE(mailbox()["defaultGreeting"].asBool());

    // Nothing left to do: a second run changes nothing and downloads nothing.
    m_platform->control(parseJson("{\"command\":\"clearRequests\"}"));
    EXPECT_TRUE(run("sync")["returnValue"].asBool());
    EXPECT_EQ(messages().size(), 2u);
    EXPECT_EQ(m_platform->downloads().arraySize(), 0u);
    EXPECT_TRUE(logged("handleSynchronization: 0 New - 0 Removed - 0 Updated"));
}

// A second record of one call goes without reaching the carrier and takes no file that the
// first names; a deletion and a listen the user made, which no run carried yet, are carried, and
// the deleted call is neither stored nor fetched again.
TEST_F(SynchronizationTest, ReadStatesFollowTheTrustRuleAndTheUsersMarksAreCarriedNeverUndone)
{
    startPlatform("[{\"id\":\"A\"},{\"id\":\"B\"},{\"id\":\"C\",\"state\":\"ARC_MSG\"},"
                  "{\"id\":\"D\",\"duration\":1},{\"id\":\"E\"}]");
    putMailbox();
    std::string fileB = m_media + "B.amr", fileD = m_media + "D.amr";
    std::ofstream(fileB) << "audio";
    std::ofstream(fileD) << "audio";
    putRecord("A", true); // read here, new on the server: archived again
    putRecord("B", false, ",\"audioPath\":\"" + fileB + "\""); // new on both sides: nothing
    putRecord("C", true);                                      // listened to on both sides: nothing
    std::string duplicate = putRecord("B", false, ",\"audioPath\":\"" + fileB + "\"");
    putRecord("D", false, ",\"_del\":true,\"audioPath\":\"" + fileD + "\"");
    putRecord("E", false, ",\"readMessage\":true");
    std::map<std::string, JValue> before = messages();

    EXPECT_TRUE(run("sync")["returnValue"].asBool());

    EXPECT_EQ(countOf("archiveCall"), 2u);
    EXPECT_EQ(m_platform->call("A")["state"].asString(), "ARC_MSG");
    EXPECT_EQ(m_platform->call("E")["state"].asString(), "ARC_MSG");
    EXPECT_EQ(m_platform->call("B")["state"].asString(), "NEW_MSG");
    EXPECT_EQ(countOf("deleteMultipleMessages"), 1u);
    EXPECT_TRUE(m_platform->call("D").isNull());
    EXPECT_EQ(m_platform->downloads().arraySize(), 0u);
    std::map<std::string, JValue> after = messages();
    ASSERT_EQ(after.size(), 4u);
    for (const char* id : {"A", "B", "C"})
        EXPECT_EQ(after[id]["_rev"], before[id]["_rev"]) << id << " was written";
    EXPECT_NE(after["B"]["_id"].asString(), duplicate);
    EXPECT_TRUE(after["E"]["read"].asBool());
    EXPECT_FALSE(after["E"]["readMessage"].asBool());
    EXPECT_TRUE(g_file_test(fileB.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test(fileD.c_str(), G_FILE_TEST_EXISTS));
    // The second record is gone, not marked deleted for a delete run to carry.
    JValue deleted = db("find", std::string("{\"query\":{\"from\":\"") + kMessageKind +
                                    "\",\"where\":[{\"prop\":\"_del\",\"op\":\"=\","
                                    "\"val\":true}]}}")["results"];
    ASSERT_EQ(deleted.arraySize(), 1u);
    EXPECT_EQ(deleted[0]["id"].asString(), "D");
    EXPECT_TRUE(deleted[0]["reallyDeleted"].asBool());
    EXPECT_TRUE(logged("Don't trust the server - rearchive the message: A"));
    EXPECT_TRUE(logged("Removing a second record of call B"));
    EXPECT_TRUE(logged("handleSynchronization: 0 New - 0 Removed - 1 Updated"));
}

TEST_F(SynchronizationTest, EveryNewCallIsStoredWithOrWithoutAudioWhateverItsState)
{
    startPlatform("[{\"id\":\"201\",\"state\":\"NO_MSG\"},{\"id\":\"202\",\"duration\":3},"
                  "{\"id\":\"203\",\"state\":\"DEL_MSG\",\"duration\":1}]");
    control("{\"command\":\"setAudio\",\"id\":\"202\",\"noLength\":true}");
    putMailbox();

    EXPECT_TRUE(run("sync")["returnValue"].asBool());

    std::map<std::string, JValue> stored = messages();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored["201"]["audioPath"].asString(), "");
    EXPECT_EQ(stored["201"]["size"].asInt64(), 0);
    EXPECT_TRUE(stored["201"]["kelNoMessage"].asBool());
    // No length announced: the size is the file's.
    EXPECT_EQ(stored["202"]["size"].asInt64(), m_platform->call("202")["audioSize"].asInt64());
    EXPECT_EQ(stored["202"]["size"].asInt64(), sizeOf(m_media + "202.amr"));
    EXPECT_EQ(stored["203"]["kelStatus"].asString(), "DEL_MSG");
    EXPECT_EQ(countOf("getMessageVocalById"), 2u);
    for (const char* id : {"201", "202", "203"})
        EXPECT_TRUE(m_platform->call(id)["delivered"].asBool()) << id;
    EXPECT_TRUE(logged("handleSynchronization: 3 New - 0 Removed - 0 Updated"));
}

TEST_F(SynchronizationTest, AMessageThatCannotBeFetchedIsSkippedAndTriedAgainNextTime)
{
    startPlatform("[{\"id\":\"301\"},{\"id\":\"302\"},{\"id\":\"303\"}]");
    control("{\"command\":\"failSoap\",\"operation\":\"getMessageVocalById\","
            "\"fault\":\"Generic_MessageNotFound\"}");
    control("{\"command\":\"setAudio\",\"id\":\"302\",\"failFirst\":5}");
    putMailbox();

    EXPECT_TRUE(run("sync")["returnValue"].asBool());
    std::map<std::string, JValue> stored = messages();
    EXPECT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.count("303"), 1u);
    EXPECT_FALSE(exists(m_media + "302.amr"));
    EXPECT_EQ(s_waits, (std::vector<unsigned>{20, 30, 40, 50, 60}));
    EXPECT_EQ(mailbox()["error"].asInt32(), 0);
    EXPECT_TRUE(logged("Problem with getMessageInfo for ID=301"));
    EXPECT_TRUE(logged("Problem with message download: oom=0 - url="));
    EXPECT_FALSE(m_platform->call("301")["delivered"].asBool());
    EXPECT_FALSE(m_platform->call("302")["delivered"].asBool());
    EXPECT_TRUE(logged("handleSynchronization: 1 New - 0 Removed - 0 Updated"));

    EXPECT_TRUE(run("sync")["returnValue"].asBool());
    EXPECT_EQ(messages().size(), 3u);
    EXPECT_TRUE(exists(m_media + "301.amr"));
    EXPECT_TRUE(exists(m_media + "302.amr"));
    EXPECT_TRUE(logged("handleSynchronization: 2 New - 0 Removed - 0 Updated"));
}

TEST_F(SynchronizationTest, AFullMediaFolderEndsTheRunWithError16)
{
    startPlatform("[{\"id\":\"401\"},{\"id\":\"402\"}]");
    control("{\"command\":\"setAudio\",\"id\":\"401\",\"announcedLength\":1125899906842624}");
    putMailbox();

    JValue answer = run("sync");
    EXPECT_FALSE(answer["returnValue"].asBool());
    EXPECT_EQ(answer["errorText"].asString(), "Out of memory");
    EXPECT_EQ(answer["errorCode"].asInt32(), 666);
    EXPECT_EQ(mailbox()["error"].asInt32(), 16);
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(s_waits.empty());
    EXPECT_TRUE(logged("Problem with message download: oom=1 - url="));
    // The run ended at the first message: the second was never asked for.
    EXPECT_EQ(countOf("getMessageVocalById"), 1u);
    EXPECT_TRUE(std::filesystem::is_empty(m_media));
}

TEST_F(SynchronizationTest, EmptyListsAndUnreadableListsEndTheRun)
{
    startPlatform("[]");
    putMailbox();
    EXPECT_EQ(run("sync").stringify(), "{\"returnValue\":true}");
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(logged("handleSynchronization: 0 New - 0 Removed - 0 Updated"));

    control("{\"command\":\"failSoap\",\"operation\":\"getAllCallOpti\",\"fault\":\"X\"}");
    JValue answer = run("sync");
    EXPECT_EQ(answer["errorText"].asString(), "Problem getting the messages from server!");
    EXPECT_EQ(answer["errorCode"].asInt32(), 666);
}

TEST_F(SynchronizationTest, AProfileWithoutInscriptionErasesTheAccount)
{
    startPlatform("[{\"id\":\"601\"}]", "{\"subscribed\":false}");
    putMailbox();
    putRecord("600", false);

    JValue answer = run("sync");
    EXPECT_EQ(answer["errorText"].asString(), "User account erased");
    EXPECT_EQ(answer["errorCode"].asInt32(), 666);
    EXPECT_EQ(operations(), std::vector<std::string>{"getUserProfile"});
    EXPECT_EQ(find("com.quor.vvm.kelmailbox:1").arraySize(), 0u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(SynchronizationTest, IdentifiersThatAreNoPlainFileNamesAreSkipped)
{
    const std::string longest(251, 'x'); // with ".amr", the longest file name there is
    const std::string tooLong(252, 'y');
    startPlatform("[{\"id\":\"../escape\"},{\"id\":\"..\"},{\"id\":\".\"},{\"id\":\"a/b\"},"
                  "{\"id\":\"" +
                  tooLong + "\"},{\"id\":\"" + longest +
                  "\"},{\"id\":\"701\"},{\"id\":\"../quiet\",\"state\":\"NO_MSG\"}]");
    putMailbox();

    EXPECT_TRUE(run("sync")["returnValue"].asBool());

    std::map<std::string, JValue> stored = messages();
    EXPECT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored.count("701"), 1u);
    EXPECT_EQ(stored[longest]["audioPath"].asString(), m_media + longest + ".amr");
    EXPECT_FALSE(exists(m_root + "/escape.amr"));
    EXPECT_FALSE(exists(m_media + "a"));
    EXPECT_EQ(countOf("getMessageVocalById"), 2u);
    EXPECT_EQ(m_platform->downloads().arraySize(), 2u);
    for (const char* id : {"../escape", "..", ".", "a/b", "../quiet"}) {
        EXPECT_FALSE(m_platform->call(id)["delivered"].asBool()) << id;
        EXPECT_TRUE(logged(std::string("message skipped: ") + id)) << id;
    }
    EXPECT_TRUE(logged("handleSynchronization: 2 New - 0 Removed - 0 Updated"));
}

TEST_F(SynchronizationTest, ADownloadReachesItsFinalNameOnlyWhenComplete)
{
    startPlatform("[{\"id\":\"801\",\"duration\":2}]");
    // The answer waits, so that the download's file stays open for a while.
    control("{\"command\":\"setAudio\",\"id\":\"801\",\"delayMs\":300}");
    putMailbox();
    const std::string final = m_media + "801.amr";
    const long long complete = m_platform->call("801")["audioSize"].asInt64();

    std::atomic<bool> done{false}, sawPartial{false}, sawIncompleteFinal{false};
    std::thread watcher([&] {
        while (!done) {
            if (exists(m_media + ".download.part"))
                sawPartial = true;
            long long size = sizeOf(final);
            if (size >= 0 && size != complete)
                sawIncompleteFinal = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    JValue answer = run("sync");
    done = true;
    watcher.join();

    EXPECT_TRUE(answer["returnValue"].asBool());
    EXPECT_TRUE(sawPartial) << "the download was never seen under way";
    EXPECT_FALSE(sawIncompleteFinal);
    EXPECT_EQ(sizeOf(final), complete);
    EXPECT_FALSE(exists(m_media + ".download.part"));
}

TEST_F(SynchronizationTest, APartialDownloadLeftByAKilledRunIsRemoved)
{
    startPlatform("[]");
    putMailbox();
    std::ofstream(m_media + ".download.part") << "#!AMR\n half";

    EXPECT_TRUE(run("sync")["returnValue"].asBool());
    EXPECT_FALSE(exists(m_media + ".download.part"));
}
