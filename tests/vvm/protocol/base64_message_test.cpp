// Base64 against RFC 4648's vectors, and the voicemail message record: its database form,
// date conversions and file extensions.
#include "Base64.h"
#include "KelVvmMessage.h"
#include "KelVvmUtils.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(Base64, EncodesTheRfc4648Vectors)
{
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& vector : vectors)
        EXPECT_EQ(Base64::encode(vector.first.data(), int(vector.first.size())), vector.second);
}

TEST(Base64, UsesTheWholeAlphabetAndEveryBitOfHighBytes)
{
    const char bytes[] = {'\xfb', '\xff', '\xbf', '\x00', '\x10', '\x83'};
    EXPECT_EQ(Base64::encode(bytes, 6), "+/+/ABCD");
    EXPECT_EQ(Base64::encode(bytes, 1), "+w==");
}

TEST(Base64, PadsToWholeGroupsAndNeverBreaksLines)
{
    std::string data(100, '\x5a');
    EXPECT_EQ(Base64::encode(data.data(), 1).size(), 4u);
    EXPECT_EQ(Base64::encode(data.data(), 2).substr(3), "=");
    EXPECT_EQ(Base64::encode(data.data(), 3).find('='), std::string::npos);
    std::string line = Base64::encode(data.data(), 100);
    EXPECT_EQ(line.size(), 136u);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64::encode(data.data(), -1), "");
}

TEST(Message, DefaultRecordRendersItsDatabaseForm)
{
    KelVvmMessage message;
    EXPECT_EQ(message.toString(),
              "{\"_kind\":\"com.quor.vvm.kelmessages:1\",\"service\":\"kel\",\"id\":\"\","
              "\"timestamp\":0,\"read\":true,\"readMessage\":false,\"from\":{\"addr\":\"\","
              "\"type\":\"to\"},\"duration\":0,\"size\":0,\"audioPath\":\"\",\"kelStatus\":\"\","
              "\"kelDelivered\":false,\"kelFormat\":\"\",\"kelNoMessage\":true}");
}

TEST(Message, ReadFlagIsSetUnlessTheStateIsExactlyNew)
{
    KelVvmMessage message;
    message.m_callStatus = "NEW_MSG";
    EXPECT_FALSE(message.toJson()["read"].asBool());
    message.m_callStatus = "new_msg";
    EXPECT_TRUE(message.toJson()["read"].asBool());
    message.m_callStatus = "ARC_MSG";
    EXPECT_TRUE(message.toJson()["read"].asBool());
}

TEST(Message, RoundTripsThroughTheDatabaseFormWith64BitNumbers)
{
    KelVvmMessage message;
    message.m_kind = "something else";
    message.m_callId = "1234";
    message.m_caller = "0601020304";
    message.m_callStatus = "ARC_MSG";
    message.m_format = "AMR";
    message.m_audioUrl = "http://example.invalid/a.amr";
    message.m_audioPath = "/media/1234.amr";
    message.m_timestamp = 1277121909000LL;
    message.m_duration = 5000000000000LL;
    message.m_size = 4294967297LL;
    message.m_delivered = true;
    message.m_noMessage = false;

    JValue stored = message.toJson();
    EXPECT_FALSE(stored.hasKey("_id"));
    EXPECT_EQ(stored["_kind"].asString(), "com.quor.vvm.kelmessages:1");
    stored.put("_id", "db-7");

    KelVvmMessage back(stored);
    EXPECT_EQ(back.m_dbId, "db-7");
    EXPECT_EQ(back.m_kind, "com.quor.vvm.kelmessages:1");
    EXPECT_EQ(back.m_callId, message.m_callId);
    EXPECT_EQ(back.m_caller, message.m_caller);
    EXPECT_EQ(back.m_callStatus, message.m_callStatus);
    EXPECT_EQ(back.m_format, message.m_format);
    EXPECT_EQ(back.m_audioUrl, "");
    EXPECT_EQ(back.m_audioPath, message.m_audioPath);
    EXPECT_EQ(back.m_timestamp, message.m_timestamp);
    EXPECT_EQ(back.m_duration, message.m_duration);
    EXPECT_EQ(back.m_size, message.m_size);
    EXPECT_EQ(back.m_delivered, true);
    EXPECT_EQ(back.m_noMessage, false);
}

TEST(Message, ReadingToleratesMissingAndMistypedKeys)
{
    JValue stored = vtjsonParse("{\"id\":7,\"from\":\"x\",\"duration\":\"9\",\"size\":2.5,"
                                "\"kelDelivered\":\"yes\"}");
    KelVvmMessage message(stored);
    EXPECT_EQ(message.m_callId, "");
    EXPECT_EQ(message.m_caller, "");
    EXPECT_EQ(message.m_duration, 0);
    EXPECT_EQ(message.m_size, 0);
    EXPECT_FALSE(message.m_delivered);
    EXPECT_TRUE(message.m_noMessage);
}

TEST(Message, EqualityComparesCallIdentifiersOnly)
{
    KelVvmMessage a, b;
    a.m_callId = b.m_callId = "42";
    a.m_callStatus = "NEW_MSG";
    b.m_callStatus = "ARC_MSG";
    EXPECT_TRUE(a == b);
    b.m_callId = "42 ";
    EXPECT_TRUE(a != b);
}

TEST(Message, FileExtensionsFollowTheExactFormatText)
{
    EXPECT_EQ(KelVvmMessage::fileExtension("AMR"), ".amr");
    EXPECT_EQ(KelVvmMessage::fileExtension("WAV_8B_8K"), ".wav");
    EXPECT_EQ(KelVvmMessage::fileExtension("MP3_16K"), ".mp3");
    EXPECT_EQ(KelVvmMessage::fileExtension("amr"), ".mp3");
    EXPECT_EQ(KelVvmMessage::fileExtension(""), ".mp3");
}

TEST(Message, DatesConvertToTheSameInstantWhateverTheZone)
{
    const long long instant = 1277121909000LL;
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("2010-06-21T14:05:09+02:00"), instant);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("2010-06-21T12:05:09Z"), instant);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("2010-06-21T12:05:09"), instant);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("2010-06-21T07:35:09-04:30"), instant);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("2010-06-21T12:35:09-00:30"), instant + 3600000LL);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("2010-06-21T14:05:09.250+02:00"), instant);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("1970-01-01T01:00:00+01:00"), 0);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("2040-01-01T00:00:00Z"), 2208988800000LL);
    EXPECT_EQ(KelVvmMessage::msSinceEpoch("yesterday"), 0);
}

} // namespace
