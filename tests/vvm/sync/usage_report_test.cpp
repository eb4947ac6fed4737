// The usage report: its document and signature as functions of their inputs, and the report as
// the emulated statistics endpoint receives and verifies it, with the failure counter it feeds.
#include "KelVvmUsageReport.h"
#include "SyncFixture.h"

#include <functional>

namespace
{

KelVvmUsageReport reportOf(const std::string& deviceUid, int64_t counter)
{
    KelVvmUsageReport report;
    report.appId = KelVvmActivity::s_reportAppId;
    report.appVersion = KelVvmActivity::s_reportAppVersion;
    report.deviceUid = deviceUid;
    report.modelName = "Nimbos smartphone";
    report.platformVersion = "2.0";
    report.offlineCounter = counter;
    return report;
}

std::string signatureOf(const KelVvmUsageReport& report)
{
    return usageReportSignature(usageReportDigest(report.document()),
                                KelVvmActivity::s_reportAppKey);
}

std::string headerOf(const KelVvmUsageReport& report)
{
    return usageReportSignatureHeader(signatureOf(report));
}

bool hasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

// Bytes an HTTP peer takes as they are in a header value.
bool isPlainHeader(const std::string& text)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return text.empty() || (text.front() != ' ' && text.back() != ' ');
}

// The first device id "dev-N" whose report with `counter` satisfies `wanted`.
std::string deviceWhere(int64_t counter,
                        const std::function<bool(const KelVvmUsageReport&)>& wanted)
{
    for (int n = 0; n < 1000000; n++) {
        std::string id = "dev-" + std::to_string(n);
        if (wanted(reportOf(id, counter)))
            return id;
    }
    ADD_FAILURE() << "no device id found";
    return "";
}

} // namespace

TEST(UsageReportDocument, IsOneLineWithTheCounterAsASigned32BitNumber)
{
    EXPECT_EQ(reportOf("D", 3).document(),
              "<Data appId='com.kel.quor.vvm' appV='1.0.0'><Application pfName='quor' dvId='D' "
              "dvName='Nimbos smartphone' pfV='2.0' /><Stats k='nbLOff' v='3'/></Data>");
    const std::pair<int64_t, const char*> counters[] = {
        {0, "v='0'"},   {4294967297LL, "v='1'"},           {4294967295LL, "v='-1'"},
        {-1, "v='-1'"}, {2147483648LL, "v='-2147483648'"}, {2147483647LL, "v='2147483647'"},
    };
    for (const auto& counter : counters)
        EXPECT_NE(reportOf("D", counter.first).document().find(counter.second), std::string::npos)
            << counter.first;
    // Inserted as they stand: the endpoint checks the bytes it receives.
    KelVvmUsageReport odd = reportOf("", 0);
    odd.modelName = "O'Brien <phone>";
    EXPECT_NE(odd.document().find("dvId='' dvName='O'Brien <phone>' pfV"), std::string::npos);
}

using UsageReportTest = SyncFixture;

TEST_F(UsageReportTest, TheEndpointVerifiesTheReportAndTheCounterFollowsItsAnswers)
{
    startPlatform("[]");
    putMailbox();
    const std::string device = deviceWhere(3, [](const KelVvmUsageReport& r) {
        return isPlainHeader(headerOf(r)) && headerOf(r).size() == 16;
    });
    KelVvmServiceValues::s_deviceUid = device;
    KelVvmServiceValues::s_offlineCounter = 3;

    EXPECT_TRUE(run("report")["returnValue"].asBool());
    JValue reports = m_platform->reports();
    ASSERT_EQ(reports.arraySize(), 1u);
    EXPECT_EQ(reports[0]["body"].asString(), reportOf(device, 3).document());
    EXPECT_TRUE(reports[0]["signatureValid"].asBool());
    EXPECT_EQ(reports[0]["status"].asInt32(), 200);
    JValue request = m_platform->requests()[0];
    EXPECT_EQ(request["headers"]["contentType"].asString(), "application/xml");
    EXPECT_EQ(request["headers"]["X-Signature"].asString(), headerOf(reportOf(device, 3)));
    EXPECT_TRUE(logged(" * POST: " + reportOf(device, 3).document()));
    EXPECT_EQ(KelVvmServiceValues::s_offlineCounter, 0);
    EXPECT_EQ(mailbox()["offlineCounter"].asInt64(), 0);

    // Refused, then accepted twice: the count of failures since the last accepted report.
    control("{\"command\":\"failReport\",\"status\":500}");
    EXPECT_TRUE(run("report")["returnValue"].asBool());
    EXPECT_EQ(mailbox()["offlineCounter"].asInt64(), 1);
    EXPECT_TRUE(run("report")["returnValue"].asBool());
    EXPECT_TRUE(run("report")["returnValue"].asBool());
    reports = m_platform->reports();
    ASSERT_EQ(reports.arraySize(), 4u);
    EXPECT_EQ(reports[1]["nbLOff"].asInt64(), 0);
    EXPECT_EQ(reports[2]["nbLOff"].asInt64(), 1);
    EXPECT_EQ(reports[3]["nbLOff"].asInt64(), 0);
    EXPECT_EQ(mailbox()["offlineCounter"].asInt64(), 0);

    // Nobody listening: the report fails, says so, and counts.
    m_platform->stop();
    EXPECT_TRUE(run("report")["returnValue"].asBool());
    EXPECT_TRUE(logged("sendUsageReport Failed: "));
    EXPECT_EQ(mailbox()["offlineCounter"].asInt64(), 1);
}

TEST_F(UsageReportTest, ZeroBytesShortenTheSignatureAndLineBreaksKeepItFromGoingOut)
{
    startPlatform("[]");
    putMailbox();
    struct Case {
        const char* name;
        std::function<bool(const KelVvmUsageReport&)> wanted;
        size_t headerSize;
    };
    const Case cases[] = {
        {"first byte zero", [](const KelVvmUsageReport& r) { return signatureOf(r)[0] == '\0'; },
         0},
        {"sixth byte zero",
         [](const KelVvmUsageReport& r) {
             return headerOf(r).size() == 5 && isPlainHeader(headerOf(r));
         },
         5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_platform->control(parseJson("{\"command\":\"clearRequests\"}"));
        KelVvmServiceValues::s_deviceUid = deviceWhere(0, c.wanted);
        KelVvmServiceValues::s_offlineCounter = 0;
        EXPECT_TRUE(run("report")["returnValue"].asBool());
        JValue reports = m_platform->reports();
        ASSERT_EQ(reports.arraySize(), 1u);
        EXPECT_TRUE(reports[0]["signatureValid"].asBool());
        JValue headers = m_platform->requests()[0]["headers"];
        EXPECT_EQ(headers["X-Signature"].asString().size(), c.headerSize);
        EXPECT_EQ(headers.hasKey("X-Signature"), c.headerSize > 0);
    }

    // A line break would split the header: not sent, counted as a failure; the next document
    // carries the new count and so another signature.
    m_platform->control(parseJson("{\"command\":\"clearRequests\"}"));
    KelVvmServiceValues::s_deviceUid = deviceWhere(0, [](const KelVvmUsageReport& r) {
        KelVvmUsageReport next = r;
        next.offlineCounter = 1;
        return hasLineBreak(headerOf(r)) && isPlainHeader(headerOf(next));
    });
    KelVvmServiceValues::s_offlineCounter = 0;
    EXPECT_TRUE(run("report")["returnValue"].asBool());
    EXPECT_EQ(m_platform->reports().arraySize(), 0u);
    EXPECT_EQ(m_platform->requests().arraySize(), 0u);
    EXPECT_TRUE(logged("sendUsageReport Failed: X-Signature holds a line break"));
    EXPECT_EQ(mailbox()["offlineCounter"].asInt64(), 1);

    EXPECT_TRUE(run("report")["returnValue"].asBool());
    JValue reports = m_platform->reports();
    ASSERT_EQ(reports.arraySize(), 1u);
    EXPECT_EQ(reports[0]["nbLOff"].asInt64(), 1);
    EXPECT_TRUE(reports[0]["signatureValid"].asBool());
    EXPECT_EQ(mailbox()["offlineCounter"].asInt64(), 0);
}
