/* Tests of the WISPr text parser, the element reader and the URL splitter. */
#include "LogCapture.h"
#include "RawServer.h"
#include "TestSettings.h"
#include "WISPrService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

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
