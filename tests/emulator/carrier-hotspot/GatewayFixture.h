// Runs the real kelwisprd client pieces against an emulated hotspot gateway in-process.
#ifndef TESTS_EMULATOR_CARRIER_HOTSPOT_GATEWAY_FIXTURE_H
#define TESTS_EMULATOR_CARRIER_HOTSPOT_GATEWAY_FIXTURE_H

#include "CarrierHotspotHTTP.h"
#include "HotspotGateway.h"
#include "WISPrService.h"
#include "WISPrSettings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

inline std::string str(const char* value)
{
    return value ? value : "<null>";
}

struct Exchange {
    bool received = false;
    std::string reply;
};

// One blocking exchange through the client's HTTP session, as the daemon makes it.
inline Exchange exchange(const std::string& target, const std::string& request, int receiveMs)
{
    Exchange result;
    CarrierHotspotSession* session = CarrierHotspot_HTTPInit(nullptr);
    char* reply = nullptr;
    size_t len = 0;
    if (session && CarrierHotspot_HTTPConnect(session, target.c_str(), 1000) &&
        CarrierHotspot_HTTPRequest(session, request.c_str()) &&
        CarrierHotspot_HTTPReceive(session, &reply, &len, receiveMs)) {
        result.received = true;
        result.reply.assign(reply, len);
    }
    free(reply);
    CarrierHotspot_HTTPDestroy(&session);
    return result;
}

class GatewayTest : public ::testing::Test
{
  protected:
    static constexpr int kReceiveMs = 700;

    void SetUp() override
    {
        WISPrSetExchangeTimeoutsForTest(1000, kReceiveMs);
        gateway_ = std::make_unique<emu::hotspot::HotspotGateway>();
        // The client finds the carrier endpoints through its settings file, as in service.
        settingsPath_ =
            testing::TempDir() + "kelwisprd-gateway-" + std::to_string(getpid()) + ".conf";
        std::ofstream(settingsPath_) << gateway_->settingsLines();
        ASSERT_TRUE(WISPrLoadSettings(settingsPath_.c_str()));
        std::memset(&record_, 0, sizeof(record_));
        gpAuthInfo = &record_;
    }
    void TearDown() override
    {
        gpAuthInfo = nullptr;
        WISPrReinitAuthInfo(&record_);
        std::remove(settingsPath_.c_str());
    }

    // The redirect page the phone's Wi-Fi side would hand to "initLogin".
    void parseRedirectPage()
    {
        WISPrParseHotspotData(&record_, gateway_->redirectPage().c_str());
        ASSERT_NE(record_.pLoginHost, nullptr);
    }

    // The client's login POST, byte for byte: unencoded credentials, and two bytes beyond
    // the announced length. Returns the response code the client reads from the reply, or -1.
    int login(const std::string& username, const std::string& password)
    {
        std::string payload = "UserName=" + username + "&Password=" + password +
                              "&FNAME=0&OriginatingServer=" + gateway_->baseUrl() + "/4o.zzz";
        std::string target = str(record_.pLoginPath);
        if (record_.pLoginQuery)
            target += std::string("?") + record_.pLoginQuery;
        return parseReply(record_.pLoginHost,
                          "POST " + target +
                              " HTTP/1.0\r\n" kWISPrUserAgentLine
                              "Content-Type: application/x-www-form-urlencoded\r\n"
                              "Content-Length: " +
                              std::to_string(payload.size()) + "\r\n\r\n" + payload + "\r\n");
    }

    int poll()
    {
        std::string target = str(record_.pLoginResultPath);
        if (record_.pLoginResultQuery)
            target += std::string("?") + record_.pLoginResultQuery;
        return parseReply(record_.pLoginResultHost, "GET " + target +
                                                        " HTTP/1.0\r\n" kWISPrUserAgentLine
                                                        "Connection: close\r\n\r\n");
    }

    int logoff()
    {
        return parseReply(record_.pLogoffHost, "GET " + str(record_.pLogoffPath) +
                                                   " HTTP/1.0\r\n" kWISPrUserAgentLine "\r\n");
    }

    int parseReply(const char* host, const std::string& request)
    {
        record_.responseCode = -1;
        Exchange result = exchange(str(host), request, kReceiveMs);
        if (!result.received || result.reply.empty())
            return -1;
        WISPrParseHotspotData(&record_, result.reply.c_str());
        return record_.responseCode;
    }

    // A fresh account issued by the gateway through the client's account creation.
    std::pair<std::string, std::string> createAccount()
    {
        free(record_.pWanIpAddress);
        record_.pWanIpAddress = strdup("127.0.0.1");
        EXPECT_TRUE(WISPrCreateKelAccount());
        return {str(record_.pUsername), str(record_.pPassword)};
    }

    // The latest recorded request to `endpoint` (a login reply makes the client run a
    // connectivity check, so the very last request is not always the one of interest).
    JValue lastRequest(const std::string& endpoint) const
    {
        JValue log = gateway_->requestLog();
        for (size_t i = log.arraySize(); i-- > 0;)
            if (log[i]["endpoint"].asString() == endpoint)
                return log[i];
        return JValue();
    }

    std::unique_ptr<emu::hotspot::HotspotGateway> gateway_;
    std::string settingsPath_;
    WISPrAuthInfo record_;
};

#endif
