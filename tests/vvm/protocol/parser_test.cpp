// The SOAP answer parser: which texts it accepts, why it rejects the others, and the typed
// results with their JSON forms.
#include "HostileAnswers.h"
#include "KelVvmLog.h"
#include "KelVvmResponseParser.h"
#include "KelVvmUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

namespace
{

const std::string kOpen = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/"
                          "envelope/\"><soapenv:Body>";
const std::string kClose = "</soapenv:Body></soapenv:Envelope>";

std::string wrap(const std::string& answer)
{
    return kOpen + answer + kClose;
}

struct Warnings {
    std::vector<std::string> lines;

    Warnings() { QmLogSetCapture(capture, this); }
    ~Warnings() { QmLogSetCapture(nullptr, nullptr); }

    static void capture(const char*, int level, const char* line, void* self)
    {
        if (level == QMLOG_LEVEL_WARNING)
            static_cast<Warnings*>(self)->lines.push_back(line);
    }
    // The reason of the last rejection, without the "(function:line) " prefix.
    std::string reason() const
    {
        const std::string marker = "Parsing response failure: ";
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            size_t at = it->find(marker);
            if (at != std::string::npos)
                return it->substr(at + marker.size());
        }
        return "";
    }
};

// Every line the service logs while it lives, debug lines included.
struct LogLines {
    std::vector<std::string> lines;
    int level;

    LogLines() : level(QmLogGetLevel(gLogContext))
    {
        QmLogSetLevel(gLogContext, QMLOG_LEVEL_DEBUG);
        QmLogSetCapture(capture, this);
    }
    ~LogLines()
    {
        QmLogSetCapture(nullptr, nullptr);
        QmLogSetLevel(gLogContext, level);
    }
    static void capture(const char*, int, const char* line, void* self)
    {
        static_cast<LogLines*>(self)->lines.push_back(line);
    }
    bool any(const std::string& text) const
    {
        for (const std::string& line : lines) {
            if (line.find(text) != std::string::npos)
                return true;
        }
        return false;
    }
};

std::string json(KelVvmResponse& response)
{
    JValue value = response.toJson();
    return vtjsonToString(value);
}

TEST(Parser, RejectsWhatIsNotAKnownWellFormedAnswer)
{
    const struct {
        std::string text;
        std::string reason;
    } cases[] = {
        {"", "XML doc allocation failed"},
        {"not xml at all", "XML doc allocation failed"},
        {kOpen + "<subscribeResponse>", "XML doc allocation failed"},
        {"<Envelope><Body><subscribeResponse/></Body></Envelope>junk", "XML doc allocation failed"},
        {"<Answer><Body><subscribeResponse/></Body></Answer>", "No Envelope"},
        {"<Envelope/>", "No Body"},
        {"<Envelope><Header/><Body><subscribeResponse/></Body></Envelope>", "No Body"},
        {"<Envelope> <Body><subscribeResponse/></Body></Envelope>", "No Body"},
        {"<Envelope><?Body x?><Body><subscribeResponse/></Body></Envelope>", "No Body"},
        {wrap(""), "Invalid XML"},
        {wrap("<unsubscribeResponse/>"), "Unknown response"},
        {wrap("<getUserProfileResponse/>"), "Invalid response: out missing"},
        {wrap("<getUserProfileResponse> <out/></getUserProfileResponse>"),
         "Invalid response: out missing"},
        {wrap("<getMessageVocalByIdResponse><result/></getMessageVocalByIdResponse>"),
         "Invalid response: out missing"},
        {wrap("<getAllCallOptiResponse><out><Call/><Appel/></out></getAllCallOptiResponse>"),
         "Invalid response: Call missing"},
        {wrap("<getAllCallOptiResponse><out><Call/> </out></getAllCallOptiResponse>"),
         "Invalid response: Call missing"},
        // A document type declaration is refused outright: no entity is ever declared,
        // expanded or fetched.
        {"<!DOCTYPE Envelope [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>" +
             wrap("<subscribeResponse><out>&b;</out></subscribeResponse>"),
         "Invalid XML"},
        {"<!DOCTYPE Envelope SYSTEM \"http://127.0.0.1:1/evil.dtd\">" +
             wrap("<subscribeResponse/>"),
         "Invalid XML"},
        // Refused before its subset is read, whatever follows.
        {"<!DOCTYPE Envelope [<!ENTITY a \"a\"><!ENTITY b \"&a;s:x=\"u\">" +
             wrap("<subscribeResponse><out>&b;</out></subscribeResponse>"),
         "Invalid XML"},
        {wrap("<subscribeResponse><out>&undeclared;</out></subscribeResponse>"),
         "XML doc allocation failed"},
    };
    for (const auto& c : cases) {
        Warnings warnings;
        std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(c.text);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->getType(), RESPONSE_BAD) << c.text;
        EXPECT_EQ(warnings.reason(), c.reason) << c.text;
        EXPECT_EQ(json(*response), "{\"type\":\"BAD\"}");
    }
}

TEST(Parser, RejectsAnswersAboveTheSizeBound)
{
    std::string padding(KelVvmResponseParser::s_maxTextSize, ' ');
    std::string text = wrap("<subscribeResponse><out>OK</out></subscribeResponse>");
    EXPECT_EQ(KelVvmResponseParser::parse(text)->getType(), RESPONSE_OK);
    Warnings warnings;
    EXPECT_EQ(KelVvmResponseParser::parse(text + padding)->getType(), RESPONSE_BAD);
    EXPECT_EQ(warnings.reason(), "Response too large");
}

// Each of these shapes, filled up to the size bound, is parsed or refused as a whole; the
// benchmark shows their cost growing linearly with their size.
TEST(Parser, CostlyShapesEndAsExpectedAtTheSizeBound)
{
    for (const HostileAnswer& answer : hostile::answers(KelVvmResponseParser::s_maxTextSize)) {
        ASSERT_LE(answer.text.size(), KelVvmResponseParser::s_maxTextSize) << answer.name;
        ASSERT_GT(answer.text.size(), KelVvmResponseParser::s_maxTextSize * 9 / 10) << answer.name;
        Warnings warnings;
        std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(answer.text);
        EXPECT_EQ(response->getType(), answer.type) << answer.name;
        EXPECT_EQ(warnings.reason(), answer.reason) << answer.name;
    }
}

TEST(Parser, AnAnswerThatIsNoElementLogsNoName)
{
    LogLines log;
    auto response = KelVvmResponseParser::parse(wrap("<![CDATA[<subscribeResponse/>]]>"));
    EXPECT_EQ(response->getType(), RESPONSE_BAD);
    EXPECT_TRUE(log.any("Parsing response failure: Unknown response"));
    EXPECT_FALSE(log.any("(null)"));
    EXPECT_FALSE(log.any("Response type"));
}

// The XML library's complaints, encoding failures included, reach the service's log and
// nothing reaches standard error.
TEST(Parser, XmlMessagesGoToTheLogNotToStandardError)
{
    char path[] = "/tmp/kelvvm-stderr-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    LogLines log;
    ASSERT_GE(dup2(file, STDERR_FILENO), 0);
    auto shiftJis = KelVvmResponseParser::parse(
        "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>" +
        wrap("<subscribeResponse><out>\x81\xff\xfe</out></subscribeResponse>"));
    auto mismatched = KelVvmResponseParser::parse(wrap("<subscribeResponse></out>"));
    dup2(saved, STDERR_FILENO);
    close(saved);
    struct stat written = {};
    fstat(file, &written);
    close(file);
    unlink(path);

    EXPECT_EQ(shiftJis->getType(), RESPONSE_BAD);
    EXPECT_EQ(mismatched->getType(), RESPONSE_BAD);
    EXPECT_EQ(written.st_size, 0);
    EXPECT_TRUE(log.any("input conversion failed"));
    EXPECT_TRUE(log.any("Opening and ending tag mismatch"));
}

TEST(Parser, AcknowledgementsAcceptOkInAnyCaseOrNothing)
{
    const struct {
        std::string element;
        std::string out;
        int type;
    } cases[] = {
        {"subscribeResponse", "<out>OK</out>", RESPONSE_OK},
        {"subscribeResponse", "<out>ok</out>", RESPONSE_OK},
        {"subscribeResponse", "<out>Ok</out>", RESPONSE_OK},
        {"subscribeResponse", "", RESPONSE_OK},
        {"subscribeResponse", "<out/>", RESPONSE_OK},
        {"subscribeResponse", "<out>KO</out>", RESPONSE_BAD},
        {"subscribeResponse", "<out>OK </out>", RESPONSE_BAD},
        {"setProfileResponse", "<out>OK</out>", RESPONSE_OK},
        {"setInviteMessageResponse", "<out>OK</out>", RESPONSE_OK},
        {"deliverMultipleMessagesResponse", "<out>OK</out>", RESPONSE_OK},
        {"archiveCallResponse", "<out>OK</out>", RESPONSE_OK},
        {"deleteMultipleMessagesResponse", "<out>OK</out>", RESPONSE_OK},
        {"DELETEMULTIPLEMESSAGESRESPONSE", "<OUT>OK</OUT>", RESPONSE_OK},
        // Only a first child named out is read.
        {"archiveCallResponse", "<result>KO</result>", RESPONSE_OK},
    };
    for (const auto& c : cases) {
        std::string text = wrap("<" + c.element + ">" + c.out + "</" + c.element + ">");
        std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(text);
        EXPECT_EQ(response->getType(), c.type) << text;
    }
    auto ok = KelVvmResponseParser::parse(wrap(
        "<ns:subscribeResponse xmlns:ns=\"urn:x\"><ns:out>ok</ns:out></ns:subscribeResponse>"));
    ASSERT_NE(dynamic_cast<KelVvmSubscribeResponse*>(ok.get()), nullptr);
    EXPECT_EQ(json(*ok), "{\"type\":\"OK\",\"out\":\"ok\"}");
    auto empty = KelVvmResponseParser::parse(wrap("<subscribeResponse/>"));
    EXPECT_EQ(static_cast<KelVvmOkResponse&>(*empty).m_out, "");
}

TEST(Parser, EachAnswerElementMakesItsOwnClass)
{
    auto is = [](const std::string& element, auto* sample) {
        auto response = KelVvmResponseParser::parse(wrap("<" + element + "/>"));
        return dynamic_cast<decltype(sample)>(response.get()) != nullptr;
    };
    EXPECT_TRUE(is("subscribeResponse", (KelVvmSubscribeResponse*)nullptr));
    EXPECT_TRUE(is("setProfileResponse", (KelVvmSetUserProfileResponse*)nullptr));
    EXPECT_TRUE(is("setInviteMessageResponse", (KelVvmSetInviteResponse*)nullptr));
    EXPECT_TRUE(is("deliverMultipleMessagesResponse", (KelVvmDeliverMessageResponse*)nullptr));
    EXPECT_TRUE(is("archiveCallResponse", (KelVvmArchiveMessageResponse*)nullptr));
    EXPECT_TRUE(is("deleteMultipleMessagesResponse", (KelVvmDeleteMessagesResponse*)nullptr));
    EXPECT_TRUE(is("Fault", (KelVvmFaultResponse*)nullptr));
}

TEST(Parser, CallListReadsEveryCallInDocumentOrder)
{
    std::string text =
        wrap("<ns1:GETALLCALLOPTIRESPONSE xmlns:ns1=\"urn:x\"><ns1:out>"
             "<ns1:Call><ns1:dateAppel>2010-06-21T14:05:09+02:00</ns1:dateAppel>"
             "<ns1:idCall>101</ns1:idCall><ns1:msisdn>0601020304</ns1:msisdn>"
             "<ns1:statutAppel>NEW_MSG</ns1:statutAppel><ns1:unknown>x</ns1:unknown>"
             "<ns1:messageVocal><ns1:delivery>true</ns1:delivery><ns1:dureeMsg>42</ns1:dureeMsg>"
             "<ns1:formatMsg>AMR</ns1:formatMsg><ns1:urlMsg>http://h/101.amr</ns1:urlMsg>"
             "</ns1:messageVocal></ns1:Call>"
             "<call><IDCALL>102</IDCALL><msisdn>AnOnYmOuS</msisdn><statutappel>NO_MSG</statutappel>"
             "</call>"
             "<Call><idCall>103</idCall><messageVocal><delivery>TRUE</delivery>"
             "<dureeMsg>  -7s</dureeMsg><dureeMsg>9999999</dureeMsg></messageVocal></Call>"
             "</ns1:out></ns1:GETALLCALLOPTIRESPONSE>");
    auto response = KelVvmResponseParser::parse(text);
    ASSERT_EQ(response->getType(), RESPONSE_MESSAGES);
    const auto& messages = static_cast<KelVvmGetAllMessagesResponse&>(*response).m_messages;
    ASSERT_EQ(messages.size(), 3u);

    EXPECT_EQ(messages[0].m_callId, "101");
    EXPECT_EQ(messages[0].m_timestamp, 1277121909000LL);
    EXPECT_EQ(messages[0].m_caller, "0601020304");
    EXPECT_EQ(messages[0].m_callStatus, "NEW_MSG");
    EXPECT_TRUE(messages[0].m_delivered);
    EXPECT_EQ(messages[0].m_duration, 42000);
    EXPECT_EQ(messages[0].m_format, "AMR");
    EXPECT_EQ(messages[0].m_audioUrl, "http://h/101.amr");
    EXPECT_FALSE(messages[0].m_noMessage);

    EXPECT_EQ(messages[1].m_callId, "102");
    EXPECT_EQ(messages[1].m_caller, "unknown caller");
    EXPECT_EQ(messages[1].m_callStatus, "NO_MSG");
    EXPECT_TRUE(messages[1].m_noMessage);
    EXPECT_EQ(messages[1].m_audioUrl, "");

    // "delivery" is compared exactly; a later dureeMsg wins, and 9999999 s overflows 32 bits
    // once multiplied.
    EXPECT_FALSE(messages[2].m_delivered);
    EXPECT_EQ(messages[2].m_duration, 9999999000LL);
    EXPECT_TRUE(messages[2].m_noMessage);

    JValue list = response->toJson();
    ASSERT_EQ(list.arraySize(), 3u);
    EXPECT_EQ(list[0]["id"].asString(), "101");
    EXPECT_EQ(list[0]["read"].asBool(), false);
    EXPECT_EQ(list[1]["from"]["addr"].asString(), "unknown caller");

    auto empty = KelVvmResponseParser::parse(
        wrap("<getAllCallOptiResponse><out/></getAllCallOptiResponse>"));
    ASSERT_EQ(empty->getType(), RESPONSE_MESSAGES);
    EXPECT_EQ(json(*empty), "[]");
}

TEST(Parser, DurationsReadLikeDecimalPrefixes)
{
    const std::pair<std::string, long long> cases[] = {
        {"42", 42000},
        {" \t+5", 5000},
        {"-3", -3000},
        {"12abc", 12000},
        {"abc", 0},
        {"", 0},
        {"2147484", 2147484000LL},
        {"99999999999999999999999", 9223372036854775LL * 1000},
    };
    for (const auto& c : cases) {
        auto response = KelVvmResponseParser::parse(
            wrap("<getMessageVocalByIdResponse><out><dureeMsg>" + c.first +
                 "</dureeMsg></out></getMessageVocalByIdResponse>"));
        ASSERT_EQ(response->getType(), RESPONSE_MESSAGE_INFO) << c.first;
        EXPECT_EQ(static_cast<KelVvmGetMessageInfoResponse&>(*response).m_message.m_duration,
                  c.second)
            << c.first;
    }
}

TEST(Parser, MessageInfoReadsAudioDetailsOnly)
{
    auto response = KelVvmResponseParser::parse(
        wrap("<getMessageVocalByIdResponse><out><idCall>9</idCall><delivery>true</delivery>"
             "<dureeMsg>3</dureeMsg><formatMsg>WAV_8B_8K</formatMsg><urlMsg>http://h/9.wav</urlMsg>"
             "</out></getMessageVocalByIdResponse>"));
    ASSERT_EQ(response->getType(), RESPONSE_MESSAGE_INFO);
    const KelVvmMessage& message = static_cast<KelVvmGetMessageInfoResponse&>(*response).m_message;
    EXPECT_EQ(message.m_callId, "");
    EXPECT_TRUE(message.m_delivered);
    EXPECT_EQ(message.m_duration, 3000);
    EXPECT_EQ(message.m_format, "WAV_8B_8K");
    EXPECT_EQ(message.m_audioUrl, "http://h/9.wav");
    EXPECT_TRUE(message.m_noMessage);
    EXPECT_EQ(response->toJson()["kelFormat"].asString(), "WAV_8B_8K");
}

TEST(Parser, UserProfileFlagsDefaultToTrue)
{
    auto only = KelVvmResponseParser::parse(
        wrap("<getUserProfileResponse><out><userId>u1</userId></out></getUserProfileResponse>"));
    ASSERT_EQ(only->getType(), RESPONSE_USER_PROFILE);
    EXPECT_EQ(json(*only), "{\"type\":\"UserProfile\",\"id\":\"u1\",\"vvmInscription\":true,"
                           "\"defaultInvite\":true}");

    auto both = KelVvmResponseParser::parse(
        wrap("<getUserProfileResponse><out><vvmInscription>FALSE</vvmInscription>"
             "<inviteMessageDefaut>True</inviteMessageDefaut><other/></out>"
             "</getUserProfileResponse>"));
    auto& profile = static_cast<KelVvmGetUserProfileResponse&>(*both);
    EXPECT_FALSE(profile.m_vvmInscription);
    EXPECT_TRUE(profile.m_inviteMessageDefaut);
}

TEST(Parser, FaultsCarryCodeTextAndDetailStatus)
{
    auto full = KelVvmResponseParser::parse(
        wrap("<soapenv:Fault><faultcode>soapenv:Server</faultcode><faultstring>Already"
             "</faultstring><detail><ns:VVMMiddleException xmlns:ns=\"urn:x\"><other/><status>"
             "Subscribe_AlreadySubscribed</status></ns:VVMMiddleException></detail>"
             "</soapenv:Fault>"));
    ASSERT_EQ(full->getType(), RESPONSE_FAULT);
    EXPECT_EQ(json(*full),
              "{\"type\":\"Fault\",\"faultcode\":\"soapenv:Server\","
              "\"faultstring\":\"Already\",\"detail\":\"Subscribe_AlreadySubscribed\"}");

    const std::string noDetail[] = {
        "<Fault><faultcode>c</faultcode></Fault>",
        "<Fault><detail/></Fault>",
        "<Fault><detail> <VVMMiddleException><status>s</status></VVMMiddleException></detail>"
        "</Fault>",
        "<Fault><detail><Other><status>s</status></Other></detail></Fault>",
    };
    for (const std::string& answer : noDetail) {
        auto fault = KelVvmResponseParser::parse(wrap(answer));
        ASSERT_EQ(fault->getType(), RESPONSE_FAULT) << answer;
        EXPECT_EQ(static_cast<KelVvmFaultResponse&>(*fault).m_detailStatus, "") << answer;
    }
}

TEST(Parser, EscapedTextIsDecodedOnce)
{
    auto response = KelVvmResponseParser::parse(
        wrap("<getUserProfileResponse><out><userId>a&amp;lt;b&#65;<![CDATA[<c>]]></userId></out>"
             "</getUserProfileResponse>"));
    EXPECT_EQ(static_cast<KelVvmGetUserProfileResponse&>(*response).m_userId, "a&lt;bA<c>");
}

} // namespace
