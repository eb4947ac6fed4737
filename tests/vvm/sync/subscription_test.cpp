// The subscription check after a mailbox record was created: every answer of the platform and
// what it makes of the account.
#include "SyncFixture.h"

namespace
{

struct Row {
    const char* name;
    const char* account;   // the platform's account
    const char* failure;   // a failSoap command for "subscribe", or null
    const char* status;    // the record's "status" afterwards; null: no record left
    const char* errorText; // null: the run reached its work and succeeded
};

const char* const kEnvelopeOfAnotherAnswer =
    "<soapenv:Envelope xmlns:soapenv=\\\"http://schemas.xmlsoap.org/soap/envelope/\\\">"
    "<soapenv:Body><ns:getAllCallOptiResponse xmlns:ns=\\\"http://ws.test.invalid/\\\"><ns:out/>"
    "</ns:getAllCallOptiResponse></soapenv:Body></soapenv:Envelope>";

} // namespace

using SubscriptionTest = SyncFixture;

TEST_F(SubscriptionTest, EveryAnswerOfThePlatformHasItsOutcome)
{
    const std::string otherAnswer =
        std::string("\"httpStatus\":200,\"body\":\"") + kEnvelopeOfAnotherAnswer + "\"";
    const Row rows[] = {
        {"accepted", "{}", nullptr, "active", nullptr},
        {"already", "{\"subscribed\":true}", nullptr, "active", nullptr},
        {"already, small letters", "{}", "\"fault\":\"subscribe_alreadysubscribed\"", "active",
         nullptr},
        {"running", "{\"subscriptionPending\":true}", nullptr, "pending", nullptr},
        {"running, capitals", "{}", "\"fault\":\"SUBSCRIBE_RUNNINGSUBSCRIPTION\"", "pending",
         nullptr},
        {"unknown user", "{\"exists\":false}", nullptr, nullptr, "User account erased"},
        {"unknown user, small letters", "{}", "\"fault\":\"generic_usernotfound\"", nullptr,
         "User account erased"},
        {"no valid answer", "{}", "\"httpStatus\":503,\"count\":5", nullptr, "User account erased"},
        {"other fault", "{}", "\"fault\":\"Subscribe_Refused\"", "none", "Subscribe_Refused"},
        {"unexpected answer", "{}", otherAnswer.c_str(), "none", "Unexpected response"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        startPlatform("[]", row.account);
        if (row.failure)
            control(std::string("{\"command\":\"failSoap\",\"operation\":\"subscribe\",") +
                    row.failure + "}");
        db("del", "{\"query\":{\"from\":\"com.quor.vvm.kelmailbox:1\"},\"purge\":true}");
        putMailbox();
        KelVvmServiceValues::s_accountStatus.clear();
        StepActivity::s_worked = 0;

        JValue answer = run("subscribe");

        if (row.errorText) {
            EXPECT_EQ(answer["errorText"].asString(), row.errorText);
            EXPECT_EQ(answer["errorCode"].asInt32(), 666);
            EXPECT_EQ(StepActivity::s_worked, 0);
        } else {
            EXPECT_EQ(answer.stringify(), "{\"returnValue\":true}");
            EXPECT_EQ(StepActivity::s_worked, 1);
            EXPECT_EQ(KelVvmServiceValues::s_accountStatus, row.status);
        }
        JValue records = find("com.quor.vvm.kelmailbox:1");
        if (row.status) {
            ASSERT_EQ(records.arraySize(), 1u);
            EXPECT_EQ(records[0]["status"].asString(), row.status);
        } else {
            EXPECT_EQ(records.arraySize(), 0u);
        }
        EXPECT_EQ(countOf("subscribe"), std::string(row.name) == "no valid answer" ? 5u : 1u);
    }
}
