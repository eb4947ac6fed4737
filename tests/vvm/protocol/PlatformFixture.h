// A test fixture running the emulated voicemail platform on loopback, with the protocol's waits
// recorded instead of slept and its media folder in a fresh temporary folder.
#ifndef PLATFORMFIXTURE_H
#define PLATFORMFIXTURE_H

#include "HttpRequest.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "KelVvmUtils.h"
#include "VoicemailPlatform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class PlatformFixture : public ::testing::Test
{
  protected:
    static std::vector<unsigned>& waits()
    {
        static std::vector<unsigned> recorded;
        return recorded;
    }
    static void recordWait(unsigned seconds) { waits().push_back(seconds); }

    // `calls`: a JSON array of mailbox calls.
    void startPlatform(const std::string& calls = "[]")
    {
        JValue config =
            vtjsonParse("{\"namespace\":\"http://ws.test.invalid/\",\"calls\":" + calls + "}");
        platform = std::make_unique<emu::vvm::VoicemailPlatform>(config);
        platform->start();
        KelVvmRequest::s_vvmUrl = platform->serviceUrl();
        KelVvmRequest::s_webNamespace = "http://ws.test.invalid/";
    }

    void SetUp() override
    {
        waits().clear();
        HttpRequest::s_sleepHook = recordWait;
        char pattern[] = "/tmp/kelvvm-protocol-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        KelVvmServiceValues::s_mediaFolder = folder + "/";
        KelVvmServiceValues::s_userAgent = "KelVvmTest/1.0";
        KelVvmServiceValues::s_wanIpAddress = "127.0.0.1";
    }

    void TearDown() override
    {
        // No connection kept by one case is met by the next.
        HttpRequest::closeConnections();
        platform.reset();
        std::filesystem::remove_all(folder);
    }

    JValue control(const std::string& command)
    {
        JValue answer = platform->control(vtjsonParse(command));
        EXPECT_TRUE(answer["returnValue"].asBool()) << answer.stringify();
        return answer;
    }

    JValue lastRequest()
    {
        JValue all = platform->requests();
        return all[all.arraySize() - 1];
    }

    std::unique_ptr<emu::vvm::VoicemailPlatform> platform;
    std::string folder;
};

#endif
