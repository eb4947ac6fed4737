/* Tests of the WISPr text parser, the element reader and the URL splitter. */
#include "LogCapture.h"
#include "RawServer.h"
#include "TestSettings.h"
#include "WISPrService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace
{

std::string str(const char* value)
{
    return value ? value : "<null>";
}

struct Record {
    Record() { std::memset(&info, 0, sizeof(info)); }
    ~Record() { WISPrReinitAuthInfo(&info); }
    void parse(const std::string& text) { WISPrParseHotspotData(&info, text.c_str()); }
    WISPrAuthInfo info;
};

// A redirect page as gateways send it: the WISPr XML inside an HTML comment, CRLF lines.
const char kRedirectPage[] =
    "HTTP/1.1 302 Found\r\n"
    "Location: https://gw.example/portal\r\n"
    "\r\n"
    "<HTML><!--SessionId=4f2a-77-->\r\n"
    "<!--<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<WISPAccessGatewayParam>\r\n"
    "<Redirect>\r\n"
    "<AccessProcedure>1.0</AccessProcedure>\r\n"
    "<messagetype>100</MESSAGETYPE>\r\n"
    "<ResponseCode>0</ResponseCode>\r\n"
    "<LoginURL>https://gw.example:8443/wispr/login?res=login&nasid=7</LoginURL>\r\n"
    "<LogoffURL>http://gw.example/wispr/logoff?res=logoff</LogoffURL>\r\n"
    "<LoginResultsURL>https://gw.example/wispr/result?id=99</LoginResultsURL>\r\n"
    "</Redirect>\r\n"
    "</WISPAccessGatewayParam>-->\r\n"
    "</HTML>\r\n";

TEST(WisprParse, RedirectPageFillsEveryField)
{
    LogCapture log;
    Record record;
    record.parse(kRedirectPage);
    const WISPrAuthInfo& info = record.info;
    EXPECT_EQ(info.messageType, 100);
    EXPECT_EQ(info.responseCode, 0);
    EXPECT_EQ(str(info.pLoginHost), "https://gw.example:8443");
    EXPECT_EQ(str(info.pLoginPath), "/wispr/login");
    EXPECT_EQ(str(info.pLoginQuery), "res=login&nasid=7");
    EXPECT_EQ(str(info.pLogoffHost), "http://gw.example");
    EXPECT_EQ(str(info.pLogoffPath), "/wispr/logoff");
    EXPECT_EQ(str(info.pLoginResultHost), "https://gw.example");
    EXPECT_EQ(str(info.pLoginResultPath), "/wispr/result");
    EXPECT_EQ(str(info.pLoginResultQuery), "id=99");
    EXPECT_EQ(str(info.pSessionId), "4f2a-77");
    EXPECT_TRUE(log.has("Message type: 100"));
    EXPECT_TRUE(log.has("Login query: res=login&nasid=7"));
    EXPECT_TRUE(log.has("Login result query: id=99"));
    // The 302 status line is not a 200 OK: no connectivity check ran.
    EXPECT_FALSE(log.has("Performing connectivity check"));
}

TEST(WisprParse, ResponseCodeTagIsMatchedInAnyCase)
{
    Record record;
    record.parse("<responsecode>201</RESPONSECODE>\r\n");
    EXPECT_EQ(record.info.responseCode, 201);
}

TEST(WisprParse, FirstMatchingRuleTakesTheWholeLine)
{
    Record record;
    record.parse("<ResponseCode>201</ResponseCode><MessageType>120</MessageType>\n"
                 "<LoginURL>http://a/l</LoginURL><LogoffURL>http://b/o</LogoffURL>\n"
                 "<LogoffURL>http://c/o</LogoffURL><LoginResultsURL>http://d/r</LoginResultsURL>\n"
                 "<LoginResultsURL>http://e/r?q</LoginResultsURL> SessionId=x-->\n");
    EXPECT_EQ(record.info.responseCode, 201);
    EXPECT_EQ(record.info.messageType, 0);
    EXPECT_EQ(str(record.info.pLoginHost), "http://a");
    EXPECT_EQ(str(record.info.pLogoffHost), "http://c");
    EXPECT_EQ(str(record.info.pLoginResultHost), "http://e");
    EXPECT_EQ(record.info.pSessionId, nullptr);
}

TEST(WisprParse, LaterValuesReplaceEarlierOnesAndAMissingQueryClearsIt)
{
    LogCapture log;
    Record record;
    record.parse("<LoginURL>https://one/a?x=1</LoginURL>\n<ResponseCode>201</ResponseCode>\n");
    record.parse("<LoginURL>https://two/b</LoginURL>\n<ResponseCode>50</ResponseCode>\n");
    EXPECT_EQ(str(record.info.pLoginHost), "https://two");
    EXPECT_EQ(str(record.info.pLoginPath), "/b");
    EXPECT_EQ(record.info.pLoginQuery, nullptr);
    EXPECT_EQ(record.info.responseCode, 50);
    EXPECT_TRUE(log.has("Failed to parse login query"));
}

TEST(WisprParse, AnElementSplitAcrossLinesYieldsNothing)
{
    Record record;
    record.info.responseCode = 7;
    record.parse("<ResponseCode>\n50</ResponseCode>\n<LoginURL>https://gw/login\n</LoginURL>\n");
    EXPECT_EQ(record.info.responseCode, 7);
    EXPECT_EQ(record.info.pLoginHost, nullptr);
    EXPECT_EQ(record.info.pLoginPath, nullptr);
}

TEST(WisprParse, ReinitFreesAndZeroesEveryField)
{
    Record record;
    record.parse(kRedirectPage);
    record.info.pInterface = strdup("wlan0");
    record.info.pImsi = strdup("invalid");
    record.info.profileId = 3;
    WISPrReinitAuthInfo(&record.info);
    WISPrAuthInfo zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(std::memcmp(&record.info, &zero, sizeof(zero)), 0);
    WISPrReinitAuthInfo(nullptr);
}

// The 200 OK rule runs the connectivity check; these cases need a check endpoint.
class WisprParseStatusLine : public ::testing::Test
{
  protected:
    void SetUp() override { WISPrSetExchangeTimeoutsForTest(1000, 1000); }
};

TEST_F(WisprParseStatusLine, A200LineIsJudgedByTheConnectivityCheck)
{
    LogCapture log;
    {
        auto check = RawServer::replying("HTTP/1.1 200 OK\r\n\r\nABCd\r\n");
        TestSettings settings(check.target(), "http://unused.invalid");
        Record record;
        record.parse("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html></html>\r\n");
        EXPECT_EQ(record.info.responseCode, kWISPrResponseCodeSucceed);
        EXPECT_EQ(check.requests().size(), 1u);
    }
    EXPECT_TRUE(log.has("Received HTTP 200 OK in response! Performing connectivity check.."));
    {
        auto check = RawServer::replying("HTTP/1.0 302 Found\r\n\r\nABCd\r\n");
        TestSettings settings(check.target(), "http://unused.invalid");
        Record record;
        record.parse("HTTP/1.0 200 OK\r\n\r\n");
        EXPECT_EQ(record.info.responseCode, kWISPrResponseCodeRejected);
    }
}

TEST_F(WisprParseStatusLine, AResponseCodeAfterThe200LineOverridesTheCheck)
{
    auto check = RawServer::replying("HTTP/1.1 200 OK\r\n\r\nABCd\r\n");
    TestSettings settings(check.target(), "http://unused.invalid");
    Record record;
    record.parse("HTTP/1.1 200 OK\r\n\r\n<ResponseCode>201</ResponseCode>\r\n");
    EXPECT_EQ(record.info.responseCode, kWISPrResponseCodePending);
    EXPECT_EQ(check.requests().size(), 1u);

    // Before the status line, the code is overridden by the check instead.
    record.parse("<ResponseCode>201</ResponseCode>\r\nHTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(record.info.responseCode, kWISPrResponseCodeSucceed);
}

TEST_F(WisprParseStatusLine, TheStatusLineIsMatchedInExactCaseOnly)
{
    auto check = RawServer::replying("HTTP/1.1 200 OK\r\n\r\nABCd\r\n");
    TestSettings settings(check.target(), "http://unused.invalid");
    Record record;
    record.parse("http/1.1 200 ok\r\nHTTP/1.1 200 Ok\r\n");
    EXPECT_EQ(record.info.responseCode, 0);
    EXPECT_TRUE(check.requests().empty());
}

struct NodeCase {
    const char* name;
    const char* line;
    const char* element;
    const char* content; // nullptr: none
};

class WisprNodeContent : public ::testing::TestWithParam<NodeCase>
{
};

TEST_P(WisprNodeContent, ReadsTheTextBetweenTheFirstTags)
{
    char* content = WISPrGetNodeContent(GetParam().line, GetParam().element);
    if (GetParam().content) {
        ASSERT_NE(content, nullptr);
        EXPECT_STREQ(content, GetParam().content);
    } else {
        EXPECT_EQ(content, nullptr);
    }
    free(content);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WisprNodeContent,
    ::testing::Values(NodeCase{"Plain", "  <LoginURL>https://gw/l</LoginURL>\r", "LoginURL",
                               "https://gw/l"},
                      NodeCase{"AnyCase", "<loginurl>x</LOGINURL>", "LoginURL", "x"},
                      NodeCase{"FirstClosingTag", "<a>1</a><a>2</a>", "a", "1"},
                      NodeCase{"NoOpeningTag", "x</a>", "a", nullptr},
                      NodeCase{"NoClosingTag", "<a>x", "a", nullptr},
                      NodeCase{"ClosingBeforeOpening", "</a>x<a>", "a", nullptr},
                      NodeCase{"OtherElement", "<ab>x</ab>", "a", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WisprNodeContentEmpty, IsNothingAndLogsTheCheck)
{
    LogCapture log;
    EXPECT_EQ(WISPrGetNodeContent("<ResponseCode></ResponseCode>", "ResponseCode"), nullptr);
    EXPECT_TRUE(log.hasCheck("len"));
}

struct UrlCase {
    const char* name;
    const char* url;
    const char* host; // nullptr: the split fails
    const char* path;
    const char* check;
};

class WisprParseUrl : public ::testing::TestWithParam<UrlCase>
{
};

TEST_P(WisprParseUrl, SplitsIntoHostWithSchemeAndPathWithoutQuery)
{
    LogCapture log;
    char* host = strdup("old host");
    char* path = strdup("old path");
    bool ok = WISPrParseURL(GetParam().url, &host, &path);
    if (GetParam().host) {
        EXPECT_TRUE(ok);
        EXPECT_EQ(str(host), GetParam().host);
        EXPECT_EQ(str(path), GetParam().path);
        EXPECT_TRUE(log.has(std::string("URL host: ") + GetParam().host));
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(str(host), "old host");
        EXPECT_EQ(str(path), "old path");
        EXPECT_TRUE(log.hasCheck(GetParam().check));
    }
    free(host);
    free(path);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, WisprParseUrl,
    ::testing::Values(
        UrlCase{"Query", "http://gw.example/login?a=1&b=2", "http://gw.example", "/login", ""},
        UrlCase{"NoQuery", "http://gw.example/a/b", "http://gw.example", "/a/b", ""},
        UrlCase{"NoPath", "http://gw.example", "http://gw.example", "/", ""},
        UrlCase{"QueryWithoutPath", "http://gw.example?x=1", "http://gw.example", "/", ""},
        UrlCase{"Https", "https://gw.example:8443/l?x", "https://gw.example:8443", "/l", ""},
        UrlCase{"SchemeInAnyCase", "HTTPS://Gw/l", "HTTPS://Gw", "/l", ""},
        UrlCase{"AnotherUrlInTheQuery", "https://gw/l?orig=http://site/x", "https://gw", "/l", ""},
        UrlCase{"TextBeforeTheScheme", " go to hTTp://gw:81/l", "hTTp://gw:81", "/l", ""},
        UrlCase{"NoScheme", "gw.example/login", nullptr, nullptr, "pURL"},
        UrlCase{"OtherScheme", "ftp://gw.example/login", nullptr, nullptr, "pURL"},
        UrlCase{"NoUrl", nullptr, nullptr, nullptr, "pURL"},
        UrlCase{"EmptyHost", "http:///login", nullptr, nullptr, "(strlen(pHost) > 0)"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace
{

// The same redirect as real gateways write it, "&" escaped as XML requires, in every shape they
// use: LF or CRLF line ends, the XML bare or inside an HTML comment.
std::string redirectInShape(bool crlf, bool inComment)
{
    std::string eol = crlf ? "\r\n" : "\n";
    std::string xml =
        "<WISPAccessGatewayParam>" + eol + "<Redirect>" + eol + "<MessageType>100</MessageType>" +
        eol + "<ResponseCode>0</ResponseCode>" + eol +
        "<LoginURL>https://gw.example/login?res=login&amp;nasid=7&#38;x=&#x41;"
        "</LoginURL>" +
        eol + "<LoginResultsURL>https://gw.example/result?a=1&amp;b=2</LoginResultsURL>" + eol +
        "</Redirect>" + eol + "</WISPAccessGatewayParam>" + eol;
    if (inComment)
        xml = "<html>" + eol + "<!--" + eol + xml + "-->" + eol + "</html>" + eol;
    return "HTTP/1.1 302 Found" + eol + "Location: https://gw.example/" + eol + eol + xml;
}

} // namespace

TEST(WisprParse, EveryGatewayShapeYieldsTheDecodedUrls)
{
    for (bool crlf : {false, true}) {
        for (bool inComment : {false, true}) {
            Record record;
            record.parse(redirectInShape(crlf, inComment));
            SCOPED_TRACE(std::string(crlf ? "CRLF" : "LF") + (inComment ? " comment" : " bare"));
            EXPECT_EQ(record.info.messageType, 100);
            EXPECT_EQ(str(record.info.pLoginHost), "https://gw.example");
            EXPECT_EQ(str(record.info.pLoginPath), "/login");
            EXPECT_EQ(str(record.info.pLoginQuery), "res=login&nasid=7&x=A");
            EXPECT_EQ(str(record.info.pLoginResultQuery), "a=1&b=2");
        }
    }
}

TEST(WisprNodeContentEntities, ThePredefinedEntitiesAndCharacterReferencesAreDecoded)
{
    const std::pair<const char*, const char*> cases[] = {
        {"<E>a&amp;b&lt;c&gt;d&quot;e&apos;f</E>", "a&b<c>d\"e'f"},
        {"<E>&#65;&#x42;&#X43;&#233;&#x20AC;&#x1F600;</E>",
         "ABC\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        // Not references: kept as they stand, never a NUL or a broken character.
        {"<E>&bogus; &amp &#; &#0; &#xD800; &#x110000; &#999999999999;</E>",
         "&bogus; &amp &#; &#0; &#xD800; &#x110000; &#999999999999;"},
        {"<E>&amp;amp;</E>", "&amp;"},
    };
    for (const auto& [line, content] : cases) {
        char* decoded = WISPrGetNodeContent(line, "E");
        EXPECT_EQ(str(decoded), content) << line;
        free(decoded);
    }
}

TEST(WisprParse, ACodeBeyondTheIntRangeIsNotACode)
{
    LogCapture log;
    Record record;
    record.info.responseCode = 201;
    // 2^32 + 50 would wrap into 50, success.
    record.parse("<ResponseCode>4294967346</ResponseCode>\n"
                 "<MessageType>-9999999999</MessageType>\n");
    EXPECT_EQ(record.info.responseCode, 201);
    EXPECT_EQ(record.info.messageType, 0);
    EXPECT_EQ(log.count("check \"(code within int range)\" failed"), 2);
    record.parse("<ResponseCode>abc</ResponseCode>\n");
    EXPECT_EQ(record.info.responseCode, 201);
    record.parse("<ResponseCode>2147483647</ResponseCode>\n");
    EXPECT_EQ(record.info.responseCode, 2147483647);
    // Blanks around the number are layout; anything else after it makes no number.
    record.parse("<ResponseCode>50abc</ResponseCode>\n");
    EXPECT_EQ(record.info.responseCode, 2147483647);
    record.parse("<ResponseCode> 50 </ResponseCode>\n");
    EXPECT_EQ(record.info.responseCode, 50);
}

// Decoded references must not turn a URL into request text: a CR LF would add header lines
// (the credentials going along), a blank or a byte above 0x7e would break the request line.
TEST(WisprParse, AUrlHoldingControlsBlanksOrNonAsciiAfterDecodingIsRefused)
{
    for (const char* url :
         {"http://gw/login?a=1&#13;&#10;X-Injected: yes&#13;&#10;", "http://gw/log&#x20;in",
          "http://gw/login?city=S&#233;te", "http://gw&#9;evil/login"}) {
        SCOPED_TRACE(url);
        LogCapture log;
        Record record;
        record.info.pLoginResultHost = strdup("http://old");
        record.info.pLoginResultPath = strdup("/results");
        record.parse(std::string("<LoginURL>") + url + "</LoginURL>\n<LogoffURL>" + url +
                     "</LogoffURL>\n<LoginResultsURL>" + url + "</LoginResultsURL>\n");
        EXPECT_EQ(record.info.pLoginHost, nullptr);
        EXPECT_EQ(record.info.pLoginPath, nullptr);
        EXPECT_EQ(record.info.pLoginQuery, nullptr);
        EXPECT_EQ(record.info.pLogoffHost, nullptr);
        // A refused URL leaves nothing older to be used in its place.
        EXPECT_EQ(record.info.pLoginResultHost, nullptr);
        EXPECT_EQ(record.info.pLoginResultPath, nullptr);
        EXPECT_EQ(log.count("Refused URL"), 3);
    }
    LogCapture log;
    Record record;
    record.parse("<LoginURL>http://gw/login?a=1&#13;&#10;X-Injected: yes</LoginURL>\n");
    EXPECT_TRUE(log.has("Refused URL with a control character, a blank or a non-ASCII byte: "
                        "http://gw/login?a=1\\r\\nX-Injected: yes"));
}

// The text of a reply is logged whole up to 64 KiB, then cut.
TEST(WisprParse, TheXmlDataLineIsCutAt64KiB)
{
    LogCapture log;
    Record record;
    record.parse(std::string(900 * 1024, 'x'));
    size_t longest = 0;
    for (const std::string& line : log.lines())
        longest = std::max(longest, line.size());
    EXPECT_LT(longest, 64u * 1024 + 200);
    EXPECT_TRUE(log.has("... (856064 more bytes)"));
}

TEST_F(WisprParseStatusLine, ManyStatusLinesRunOneConnectivityCheck)
{
    auto check = RawServer::replying("HTTP/1.1 200 OK\r\n\r\nABCd\r\n");
    TestSettings settings(check.target(), "http://unused.invalid");
    std::string text;
    for (int i = 0; i < 50; i++)
        text += "HTTP/1.1 200 OK\r\n";
    Record record;
    record.parse(text);
    EXPECT_EQ(record.info.responseCode, kWISPrResponseCodeSucceed);
    EXPECT_EQ(check.requests().size(), 1u);
    // A later text is judged anew.
    record.parse("HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(check.requests().size(), 2u);
}

#if !defined(__SANITIZE_ADDRESS__)
// A mebibyte of newlines costs no copy per line: parsed in a child whose heap may grow by no
// more than 16 MiB (a copy per line would take some 40 MiB).
TEST(WisprParse, AMebibyteOfNewlinesIsWalkedInPlace)
{
    std::string text(1024 * 1024, '\n');
    text += "<ResponseCode>50</ResponseCode>\n";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DebugSetProperty(kDebugPropertyMinimumLevel, kDebugLevelError);
        std::ifstream status("/proc/self/status");
        std::string line;
        long dataKiB = 0;
        while (std::getline(status, line))
            if (line.rfind("VmData:", 0) == 0)
                dataKiB = std::stol(line.substr(7));
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = rlim_t(dataKiB + 16 * 1024) * 1024;
        setrlimit(RLIMIT_DATA, &limit);
        WISPrAuthInfo info{};
        WISPrParseHotspotData(&info, text.c_str());
        _exit(info.responseCode == 50 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
#endif
