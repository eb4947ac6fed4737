// The emulated voicemail platform as a device meets it over loopback: the web service and its
// mailbox, faults, the audio downloads and their misbehaviours, the usage-statistics endpoint,
// the request log and the control API.
#include "AmrAudio.h"
#include "CurlClient.h"
#include "UsageStats.h"
#include "VoicemailPlatform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace
{

using emu::vvm::VoicemailPlatform;

const char* const kNamespace = "http://ws.test.invalid/";

JValue parse(const std::string& text)
{
    static const JSchemaFragment any("{\"type\":[\"object\",\"array\"]}");
    JDomParser parser;
    EXPECT_TRUE(parser.parse(text, any)) << text;
    return parser.getDom();
}

std::string envelope(const std::string& operation, const std::string& inner,
                     const std::string& project = "QORVVM", const std::string& ns = kNamespace)
{
    return "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:web=\"" +
           ns + "\"><soapenv:Header/><soapenv:Body><web:" + operation + "><web:codeProjet>" +
           project + "</web:codeProjet>" + inner + "</web:" + operation +
           "></soapenv:Body></soapenv:Envelope>";
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class Platform : public ::testing::Test
{
  protected:
    void start(const std::string& config)
    {
        platform = std::make_unique<VoicemailPlatform>(parse(config));
        platform->start();
    }
    void SetUp() override
    {
        start(std::string("{\"namespace\":\"") + kNamespace +
              "\",\"account\":{\"userId\":\"u-1\"},\"calls\":["
              "{\"id\":\"101\",\"caller\":\"0601020304\",\"duration\":2},"
              "{\"id\":\"102\",\"state\":\"NO_MSG\",\"caller\":\"anonymous\"},"
              "{\"id\":\"103\",\"state\":\"ARC_MSG\",\"duration\":1,\"delivered\":true}]}");
    }

    CurlAnswer soap(const std::string& operation, const std::string& inner = "")
    {
        std::string body = envelope(operation, inner);
        return curlFetch(platform->serviceUrl(), &body, {"Content-Type: text/xml"});
    }
    JValue control(const std::string& command) { return platform->control(parse(command)); }
    JValue call(const std::string& id) { return platform->call(id); }
    std::string ids(const std::string& list)
    {
        return "<web:selector><web:mesgIds>" + list + "</web:mesgIds></web:selector>";
    }
    static std::string status(const std::string& fault) { return "<status>" + fault + "</status>"; }

    std::unique_ptr<VoicemailPlatform> platform;
};

TEST(PlatformConfig, RefusesMalformedConfigurations)
{
    const char* const bad[] = {
        "{\"calls\":{}}",
        "{\"calls\":[{\"caller\":\"x\"}]}",
        "{\"calls\":[{\"id\":\"1\",\"state\":\"LOST\"}]}",
        "{\"calls\":[{\"id\":\"1\",\"duration\":\"long\"}]}",
        "{\"calls\":[{\"id\":\"1\",\"audioFile\":\"/nonexistent/a.amr\"}]}",
        "{\"reportKey\":\"short\"}",
        "{\"account\":{\"exists\":\"yes\"}}",
        "{\"port\":\"80\"}",
    };
    for (const char* config : bad)
        EXPECT_THROW(VoicemailPlatform(parse(config)), std::invalid_argument) << config;
}

TEST_F(Platform, ListensOnLoopbackAtAnEphemeralPort)
{
    EXPECT_GT(platform->port(), 0);
    EXPECT_EQ(platform->baseUrl(), "http://127.0.0.1:" + std::to_string(platform->port()));
    EXPECT_EQ(platform->serviceUrl(), platform->baseUrl() + "/vvm/services/FrontServiceDirect");
    EXPECT_EQ(platform->reportUrl(), platform->baseUrl() + "/initApp");
}

TEST_F(Platform, ListsCallsWithAudioAddressesAndHonoursTheWindow)
{
    CurlAnswer all = soap("getAllCallOpti", "<web:index>0</web:index><web:nb>-1</web:nb>");
    EXPECT_EQ(all.status, 200);
    std::string url = call("101")["audioUrl"].asString();
    EXPECT_TRUE(contains(all.body, "<ns:Call><ns:dateAppel>2010-06-21T14:05:09+02:00</ns:dateAppel>"
                                   "<ns:idCall>101</ns:idCall><ns:msisdn>0601020304</ns:msisdn>"
                                   "<ns:statutAppel>NEW_MSG</ns:statutAppel><ns:messageVocal>"
                                   "<ns:delivery>false</ns:delivery><ns:dureeMsg>2</ns:dureeMsg>"
                                   "<ns:formatMsg>AMR</ns:formatMsg><ns:urlMsg>" +
                                       url + "</ns:urlMsg></ns:messageVocal></ns:Call>"))
        << all.body;
    EXPECT_TRUE(contains(all.body, "<ns:idCall>102</ns:idCall><ns:msisdn>anonymous</ns:msisdn>"
                                   "<ns:statutAppel>NO_MSG</ns:statutAppel></ns:Call>"));
    EXPECT_TRUE(contains(all.body, "<ns:idCall>103</ns:idCall>"));

    CurlAnswer window = soap("getAllCallOpti", "<web:index>1</web:index><web:nb>1</web:nb>");
    EXPECT_FALSE(contains(window.body, "<ns:idCall>101<"));
    EXPECT_TRUE(contains(window.body, "<ns:idCall>102<"));
    EXPECT_FALSE(contains(window.body, "<ns:idCall>103<"));

    CurlAnswer rest = soap("getAllCallOpti", "<web:index>1</web:index>"
                                             "<web:nb>9223372036854775807</web:nb>");
    EXPECT_FALSE(contains(rest.body, "<ns:idCall>101<"));
    EXPECT_TRUE(contains(rest.body, "<ns:idCall>102<"));
    EXPECT_TRUE(contains(rest.body, "<ns:idCall>103<")) << rest.body;

    CurlAnswer info =
        soap("getMessageVocalById",
             "<web:idCall>101</web:idCall><web:formatMsgVocal>AMR</web:formatMsgVocal>");
    // The address of the message info names its format: a download shows which one it used.
    EXPECT_TRUE(contains(info.body, "<ns:out><ns:delivery>false</ns:delivery><ns:dureeMsg>2"
                                    "</ns:dureeMsg><ns:formatMsg>AMR</ns:formatMsg><ns:urlMsg>" +
                                        url + "?format=AMR</ns:urlMsg></ns:out>"))
        << info.body;
}

TEST_F(Platform, RecordsEveryDownloadWithTheAddressItUsed)
{
    std::string url = call("101")["audioUrl"].asString();
    EXPECT_EQ(curlFetch(url, nullptr).status, 200);
    EXPECT_EQ(curlFetch(url + "?format=AMR", nullptr).status, 200);
    control("{\"command\":\"setAudio\",\"id\":\"101\",\"failFirst\":1,\"failStatus\":503}");
    EXPECT_EQ(curlFetch(url, nullptr).status, 503);
    EXPECT_EQ(curlFetch(platform->baseUrl() + "/vvm/audio/999.amr", nullptr).status, 404);

    JValue downloads = control("{\"command\":\"downloads\"}")["downloads"];
    ASSERT_EQ(downloads.arraySize(), 4u) << downloads.stringify();
    EXPECT_EQ(downloads[0]["id"].asString(), "101");
    EXPECT_EQ(downloads[0]["format"].asString(), "");
    EXPECT_EQ(downloads[0]["status"].asInt32(), 200);
    EXPECT_EQ(downloads[1]["format"].asString(), "AMR");
    EXPECT_EQ(downloads[2]["status"].asInt32(), 503);
    EXPECT_EQ(downloads[3]["id"].asString(), "");
    EXPECT_EQ(downloads[3]["status"].asInt32(), 404);
    EXPECT_EQ(downloads[3]["path"].asString(), "/vvm/audio/999.amr");

    control("{\"command\":\"clearRequests\"}");
    EXPECT_EQ(platform->downloads().arraySize(), 0u);
}

TEST_F(Platform, OperationsChangeTheMailboxLikeARealPlatform)
{
    EXPECT_EQ(soap("archiveCall", "<web:idCall>101</web:idCall><web:typeMessage>VOCAL_MSG"
                                  "</web:typeMessage>")
                  .status,
              200);
    EXPECT_EQ(call("101")["state"].asString(), "ARC_MSG");

    EXPECT_EQ(soap("deliverMultipleMessages", ids("<web:string>101</web:string>")).status, 200);
    EXPECT_TRUE(call("101")["delivered"].asBool());

    // One unknown identifier refuses the whole request.
    CurlAnswer partly = soap("deleteMultipleMessages",
                             ids("<web:string>101</web:string><web:string>404</web:string>"));
    EXPECT_EQ(partly.status, 500);
    EXPECT_TRUE(contains(partly.body, status("Generic_MessageNotFound")));
    EXPECT_FALSE(call("101").isNull());
    CurlAnswer deleted = soap("deleteMultipleMessages",
                              ids("<web:string>101</web:string><web:string>103</web:string>"));
    EXPECT_TRUE(contains(deleted.body, "<ns:deleteMultipleMessagesResponse xmlns:ns=\"" +
                                           std::string(kNamespace) + "\"><ns:out>OK</ns:out>"));
    EXPECT_EQ(platform->mailbox()["calls"].arraySize(), 1u);

    CurlAnswer profile = soap("getUserProfile");
    EXPECT_TRUE(contains(profile.body, "<ns:out><ns:userId>u-1</ns:userId><ns:vvmInscription>"
                                       "false</ns:vvmInscription><ns:inviteMessageDefaut>true"
                                       "</ns:inviteMessageDefaut></ns:out>"));
    EXPECT_EQ(soap("subscribe", "<web:callPSG>false</web:callPSG>").status, 200);
    EXPECT_TRUE(contains(soap("getUserProfile").body, "<ns:vvmInscription>true<"));
    CurlAnswer again = soap("subscribe", "<web:callPSG>false</web:callPSG>");
    EXPECT_EQ(again.status, 500);
    EXPECT_TRUE(contains(again.body, status("Subscribe_AlreadySubscribed")));
}

TEST_F(Platform, GreetingsAreStoredDecoded)
{
    std::string amr = emu::vvm::makeAmrAudio(0);
    ASSERT_EQ(amr.size(), 38u);
    // "#!AMR\n" and one frame, encoded by hand.
    std::string encoded = "IyFBTVIKPA==";
    CurlAnswer wrong = soap("setInviteMessage", "<web:format>AMR</web:format><web:content>IyF"
                                                "</web:content><web:inviteType>PRIMARY"
                                                "</web:inviteType>");
    EXPECT_EQ(wrong.status, 500);
    EXPECT_TRUE(contains(wrong.body, "<faultcode>soapenv:Client</faultcode>"));
    EXPECT_FALSE(platform->mailbox()["greeting"]["set"].asBool());

    CurlAnswer set =
        soap("setInviteMessage", "<web:format>AMR</web:format><web:content>" + encoded +
                                     "</web:content><web:inviteType>"
                                     "PRIMARY</web:inviteType>");
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(platform->greeting(), std::string("#!AMR\n<", 7));
    EXPECT_TRUE(platform->mailbox()["greeting"]["set"].asBool());
    EXPECT_TRUE(contains(soap("getUserProfile").body, "<ns:inviteMessageDefaut>false<"));
}

TEST_F(Platform, InvalidRequestsGetFaultsOfTheirKind)
{
    const struct {
        std::string body;
        std::string status;
        std::string code;
    } cases[] = {
        {"not xml", "Generic_InvalidRequest", "soapenv:Client"},
        {"<Envelope><Body><web:getUserProfile/></Body></Envelope>", "Generic_InvalidRequest",
         "soapenv:Client"},
        {envelope("getUserProfile", "", "OTHER"), "Generic_InvalidProject", "soapenv:Client"},
        {envelope("getUserProfile", "", "QORVVM", "urn:other"), "Generic_InvalidRequest",
         "soapenv:Client"},
        {envelope("getEverything", ""), "Generic_InvalidRequest", "soapenv:Client"},
        {envelope("getAllCallOpti", "<web:index>x</web:index><web:nb>-1</web:nb>"),
         "Generic_InvalidRequest", "soapenv:Client"},
        {envelope("getMessageVocalById",
                  "<web:idCall>101</web:idCall><web:formatMsgVocal>WAV_8B_8K</web:formatMsgVocal>"),
         "Generic_FormatNotSupported", "soapenv:Server"},
        {envelope("getMessageVocalById",
                  "<web:idCall>102</web:idCall><web:formatMsgVocal>AMR</web:formatMsgVocal>"),
         "Generic_MessageNotFound", "soapenv:Server"},
        {envelope("archiveCall", "<web:idCall>101</web:idCall><web:typeMessage>X"
                                 "</web:typeMessage>"),
         "Generic_InvalidRequest", "soapenv:Client"},
        {"<!DOCTYPE x [<!ENTITY e \"e\">]>" + envelope("getUserProfile", ""),
         "Generic_InvalidRequest", "soapenv:Client"},
    };
    for (const auto& c : cases) {
        CurlAnswer answer = curlFetch(platform->serviceUrl(), &c.body);
        EXPECT_EQ(answer.status, 500) << c.body;
        EXPECT_TRUE(contains(answer.body, "<soapenv:Fault><faultcode>" + c.code + "</faultcode>"))
            << answer.body;
        EXPECT_TRUE(contains(answer.body, "<detail><ns:VVMMiddleException xmlns:ns=\"" +
                                              std::string(kNamespace) + "\">" + status(c.status) +
                                              "</ns:VVMMiddleException></detail>"))
            << c.body << "\n"
            << answer.body;
    }
    EXPECT_EQ(curlFetch(platform->serviceUrl(), nullptr).status, 404);
}

TEST_F(Platform, AccountStatesFaultAsTheServiceExpects)
{
    control("{\"command\":\"setAccount\",\"subscriptionPending\":true}");
    EXPECT_TRUE(contains(soap("subscribe").body, status("Subscribe_RunningSubscription")));
    control("{\"command\":\"setAccount\",\"exists\":false}");
    for (const char* operation : {"subscribe", "getUserProfile", "getAllCallOpti"})
        EXPECT_TRUE(contains(soap(operation).body, status("Generic_UserNotFound"))) << operation;
}

TEST_F(Platform, QueuedFailuresReplaceAnswersAndLeaveTheMailboxAlone)
{
    JValue queued = control("{\"command\":\"failSoap\",\"operation\":\"archiveCall\","
                            "\"fault\":\"Generic_Busy\",\"faultString\":\"busy\",\"count\":2}");
    ASSERT_TRUE(queued["returnValue"].asBool());
    control("{\"command\":\"failSoap\",\"httpStatus\":404,\"body\":\"gone\"}");
    const std::string archive =
        "<web:idCall>101</web:idCall><web:typeMessage>VOCAL_MSG</web:typeMessage>";

    EXPECT_EQ(soap("getUserProfile").status, 404); // the catch-all failure
    CurlAnswer first = soap("archiveCall", archive);
    EXPECT_EQ(first.status, 500);
    EXPECT_TRUE(contains(first.body, "<faultstring>busy</faultstring>"));
    EXPECT_TRUE(contains(first.body, status("Generic_Busy")));
    EXPECT_EQ(soap("archiveCall", archive).status, 500);
    EXPECT_EQ(call("101")["state"].asString(), "NEW_MSG");
    EXPECT_EQ(soap("archiveCall", archive).status, 200);
    EXPECT_EQ(call("101")["state"].asString(), "ARC_MSG");

    control("{\"command\":\"failSoap\",\"malformed\":true}");
    CurlAnswer malformed = soap("getUserProfile");
    EXPECT_EQ(malformed.status, 200);
    EXPECT_FALSE(contains(malformed.body, "</soapenv:Envelope>"));
    control("{\"command\":\"failSoap\",\"close\":true}");
    EXPECT_NE(soap("getUserProfile").result, CURLE_OK);
    EXPECT_EQ(soap("getUserProfile").status, 200);

    JValue refused = control("{\"command\":\"failSoap\",\"fault\":\"A\",\"httpStatus\":500}");
    EXPECT_FALSE(refused["returnValue"].asBool());
    EXPECT_FALSE(control("{\"command\":\"fly\"}")["returnValue"].asBool());
    EXPECT_FALSE(control("[]")["returnValue"].asBool());
}

// A carrier that never answers is a long delay; recovering, or stopping the emulator, must not
// wait for it to end.
TEST_F(Platform, HeldAnswersEndWhenThePlatformRecoversOrStops)
{
    auto waitUntilHeld = [&] {
        for (int i = 0; i < 2000 && control("{\"command\":\"requests\"}")["held"].asInt32() < 1;
             i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return control("{\"command\":\"requests\"}")["held"].asInt32();
    };
    control("{\"command\":\"failSoap\",\"delayMs\":600000,\"count\":2}");
    control("{\"command\":\"setAudio\",\"delayMs\":600000}");
    auto held = std::async(std::launch::async, [&] { return soap("getUserProfile"); });
    ASSERT_EQ(waitUntilHeld(), 1);
    EXPECT_TRUE(control("{\"command\":\"recover\"}")["returnValue"].asBool());
    CurlAnswer released = held.get();
    EXPECT_EQ(released.result, CURLE_OK);
    EXPECT_EQ(released.status, 200);
    // The second delay and the audio's were dropped: both answer within the client's time-out.
    EXPECT_EQ(soap("getUserProfile").status, 200);
    std::string audio = call("101")["audioUrl"].asString();
    EXPECT_EQ(curlFetch(audio, nullptr).status, 200);

    control("{\"command\":\"failSoap\",\"delayMs\":600000}");
    auto cut = std::async(std::launch::async, [&] { return soap("getUserProfile"); });
    ASSERT_EQ(waitUntilHeld(), 1);
    platform->stop();
    EXPECT_EQ(cut.get().result, CURLE_OK);
}

// An injected failure must never pass for a success, and every refusal says why with a code.
TEST_F(Platform, RefusedCommandsCarryAnErrorCodeAndFailuresStayFailures)
{
    const char* refused[] = {
        "{\"command\":\"setAudio\",\"failFirst\":1,\"failStatus\":-1}",
        "{\"command\":\"setAudio\",\"failFirst\":1,\"failStatus\":200}",
        "{\"command\":\"failReport\",\"status\":204}",
        "{\"command\":\"failSoap\",\"httpStatus\":302}",
        "{\"command\":\"failSoap\",\"httpStatus\":-1,\"body\":\"x\"}",
        "{\"command\":\"fly\"}",
    };
    for (const char* command : refused) {
        JValue answer = control(command);
        EXPECT_FALSE(answer["returnValue"].asBool()) << command;
        EXPECT_EQ(answer["errorCode"].asInt32(), -986) << command;
        EXPECT_FALSE(answer["errorText"].asString().empty()) << command;
    }
    EXPECT_EQ(curlFetch(call("101")["audioUrl"].asString(), nullptr).status, 200)
        << "the refused settings changed nothing";
}

TEST_F(Platform, AudioIsRealAmrWithItsLength)
{
    std::string url = call("101")["audioUrl"].asString();
    EXPECT_EQ(url.substr(url.size() - 4), ".amr");
    CurlAnswer audio = curlFetch(url, nullptr);
    EXPECT_EQ(audio.status, 200);
    EXPECT_TRUE(emu::vvm::isAmrAudio(audio.body));
    // Two seconds of 20 ms frames of 32 bytes after the 6-byte magic.
    EXPECT_EQ(audio.body.size(), 6u + 100u * 32u);
    EXPECT_EQ(audio.headers["content-length"], std::to_string(audio.body.size()));
    EXPECT_EQ(call("101")["audioSize"].asInt64(), int64_t(audio.body.size()));
    EXPECT_TRUE(call("102")["audioUrl"].isNull());

    EXPECT_FALSE(emu::vvm::isAmrAudio("#!AMR\n"));
    EXPECT_FALSE(emu::vvm::isAmrAudio(audio.body.substr(0, 40)));
    EXPECT_FALSE(emu::vvm::isAmrAudio("#!AMR-WB\n"));
    EXPECT_EQ(curlFetch(platform->baseUrl() + "/vvm/audio/999.amr", nullptr).status, 404);
    // 2^32 + 1 is no call, not call 1.
    EXPECT_EQ(curlFetch(platform->baseUrl() + "/vvm/audio/4294967297.amr", nullptr).status, 404);
}

TEST_F(Platform, AudioMisbehavesOnRequest)
{
    std::string url = call("101")["audioUrl"].asString();
    size_t size = size_t(call("101")["audioSize"].asInt64());

    control("{\"command\":\"setAudio\",\"id\":\"101\",\"failFirst\":2,\"failStatus\":503}");
    EXPECT_EQ(curlFetch(url, nullptr).status, 503);
    EXPECT_EQ(curlFetch(url, nullptr).status, 503);
    EXPECT_EQ(curlFetch(url, nullptr).status, 200);

    control("{\"command\":\"setAudio\",\"noLength\":true}");
    CurlAnswer chunked = curlFetch(url, nullptr);
    EXPECT_EQ(chunked.result, CURLE_OK);
    EXPECT_EQ(chunked.headers.count("content-length"), 0u);
    EXPECT_EQ(chunked.body.size(), size);

    control("{\"command\":\"setAudio\",\"announcedLength\":5000}");
    CurlAnswer longer = curlFetch(url, nullptr);
    EXPECT_EQ(longer.result, CURLE_PARTIAL_FILE);
    EXPECT_EQ(longer.headers["content-length"], "5000");
    EXPECT_EQ(longer.body.size(), size);

    control("{\"command\":\"setAudio\",\"announcedLength\":100}");
    EXPECT_EQ(curlFetch(url, nullptr).body.size(), 100u);

    control("{\"command\":\"setAudio\",\"closeAfter\":10}");
    CurlAnswer cut = curlFetch(url, nullptr);
    EXPECT_EQ(cut.result, CURLE_PARTIAL_FILE);
    EXPECT_EQ(cut.headers["content-length"], std::to_string(size));
    EXPECT_EQ(cut.body.size(), 10u);
}

TEST_F(Platform, UsageReportsAreCheckedAndRecorded)
{
    const std::string body =
        "<Data appId='com.kel.quor.vvm' appV='1.0.0'><Application pfName='quor' dvId='D' "
        "dvName='Nimbos smartphone' pfV='2.0' /><Stats k='nbLOff' v='3'/></Data>";
    // Computed apart with the openssl command line: MD5, then AES-128-ECB without padding.
    const std::string signature("\x26\x8b\xf0\xaa\x1c\x05\x06\x7e\x4d\x1e\x62\xde\xa3\x99\x2e\x0d",
                                16);
    EXPECT_EQ(emu::vvm::usageSignature(body, emu::vvm::kUsageReportKey), signature);

    CurlAnswer good = curlFetch(platform->reportUrl(), &body,
                                {"X-Signature: " + signature, "contentType: application/xml"});
    EXPECT_EQ(good.status, 200);
    CurlAnswer forged = curlFetch(platform->reportUrl(), &body, {"X-Signature: 0123456789abcdef"});
    EXPECT_EQ(forged.status, 403);
    control("{\"command\":\"failReport\",\"status\":503}");
    EXPECT_EQ(curlFetch(platform->reportUrl(), &body, {"X-Signature: " + signature}).status, 503);
    const std::string broken = "<Data appId='x' dvName='it's'/>";
    std::string brokenSignature = emu::vvm::usageSignature(broken, emu::vvm::kUsageReportKey);
    brokenSignature = brokenSignature.substr(0, brokenSignature.find('\0'));
    EXPECT_EQ(curlFetch(platform->reportUrl(), &broken, {"X-Signature: " + brokenSignature}).status,
              400);

    JValue reports = platform->reports();
    ASSERT_EQ(reports.arraySize(), 4u);
    EXPECT_TRUE(reports[0]["signatureValid"].asBool());
    EXPECT_EQ(reports[0]["nbLOff"].asInt64(), 3);
    EXPECT_EQ(reports[0]["deviceId"].asString(), "D");
    EXPECT_EQ(reports[0]["deviceName"].asString(), "Nimbos smartphone");
    EXPECT_EQ(reports[0]["status"].asInt32(), 200);
    EXPECT_FALSE(reports[1]["signatureValid"].asBool());
    EXPECT_EQ(reports[2]["status"].asInt32(), 503);
    EXPECT_FALSE(reports[3]["wellFormed"].asBool());
    EXPECT_TRUE(reports[3]["nbLOff"].isNull());
}

TEST(UsageSignature, EndsAtItsFirstZeroByte)
{
    std::string key = emu::vvm::kUsageReportKey;
    // Find bodies whose signatures hold a zero byte first and sixth.
    for (int wanted : {0, 5}) {
        for (int i = 0;; i++) {
            std::string body = "<Stats k='nbLOff' v='" + std::to_string(i) + "'/>";
            std::string signature = emu::vvm::usageSignature(body, key);
            if (signature.find('\0') != size_t(wanted))
                continue;
            EXPECT_TRUE(emu::vvm::usageSignatureMatches(signature.substr(0, wanted), body, key));
            EXPECT_FALSE(emu::vvm::usageSignatureMatches(signature, body, key));
            break;
        }
    }
}

TEST_F(Platform, EveryRequestIsLoggedUntilCleared)
{
    soap("getUserProfile");
    curlFetch(platform->baseUrl() + "/nowhere", nullptr, {"X-Probe: 1"});
    JValue answer = control("{\"command\":\"requests\"}");
    JValue log = answer["requests"];
    ASSERT_EQ(log.arraySize(), 2u);
    EXPECT_EQ(log[0]["method"].asString(), "POST");
    EXPECT_EQ(log[0]["path"].asString(), "/vvm/services/FrontServiceDirect");
    EXPECT_EQ(log[0]["body"].asString(), envelope("getUserProfile", ""));
    EXPECT_EQ(log[0]["headers"]["Content-Type"].asString(), "text/xml");
    EXPECT_EQ(log[0]["status"].asInt32(), 200);
    EXPECT_EQ(log[1]["path"].asString(), "/nowhere");
    EXPECT_EQ(log[1]["headers"]["X-Probe"].asString(), "1");
    EXPECT_EQ(log[1]["status"].asInt32(), 404);

    control("{\"command\":\"clearRequests\"}");
    EXPECT_EQ(platform->requests().arraySize(), 0u);
}

TEST_F(Platform, CallsCanBeAddedAndRemovedWhileServing)
{
    JValue added = control("{\"command\":\"addCall\",\"call\":{\"id\":\"104\",\"duration\":1,"
                           "\"format\":\"WAV_8B_8K\"}}");
    ASSERT_TRUE(added["returnValue"].asBool());
    EXPECT_EQ(
        call("104")["audioUrl"].asString().substr(call("104")["audioUrl"].asString().size() - 4),
        ".wav");
    EXPECT_TRUE(contains(soap("getAllCallOpti", "<web:index>0</web:index><web:nb>-1</web:nb>").body,
                         "<ns:idCall>104</ns:idCall>"));
    EXPECT_TRUE(control("{\"command\":\"removeCall\",\"id\":\"104\"}")["returnValue"].asBool());
    EXPECT_TRUE(call("104").isNull());
    EXPECT_FALSE(control("{\"command\":\"removeCall\",\"id\":\"104\"}")["returnValue"].asBool());
    EXPECT_FALSE(control("{\"command\":\"addCall\",\"call\":{}}")["returnValue"].asBool());
}

} // namespace
