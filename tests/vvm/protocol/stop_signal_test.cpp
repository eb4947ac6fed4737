// A stop signal during blocking exchanges with a silent platform: the exchange in progress gives
// up at once and nothing is tried again. A binary of its own: the signal stays seen for the
// rest of the process.
#include "PlatformFixture.h"

#include "KelVvmStop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace
{

class StopSignal : public PlatformFixture
{
  protected:
    // Raises SIGTERM once the platform holds a request, as a shutdown would.
    void stopWhenHeld()
    {
        m_stopper = std::thread([this] {
            for (int i = 0; i < 2000 && control("{\"command\":\"requests\"}")["held"].asInt32() < 1;
                 i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            kill(getpid(), SIGTERM);
        });
    }
    void TearDown() override
    {
        if (m_stopper.joinable())
            m_stopper.join();
        PlatformFixture::TearDown();
    }
    std::thread m_stopper;
};

TEST_F(StopSignal, ADownloadAndTheSoapRequestsAfterItGiveUpWithoutRetries)
{
    int seen = 0;
    ASSERT_TRUE(KelVvmStop::install([](int) {}));
    HttpRequest::s_sleepHook = [](unsigned) {};
    startPlatform("[{\"id\":\"501\",\"duration\":2}]");
    control("{\"command\":\"setAudio\",\"delayMs\":600000}");
    stopWhenHeld();
    HttpRequest request(platform->call("501")["audioUrl"].asString());
    EXPECT_THROW(request.download(folder + "/501.amr"), HttpRequestException);
    m_stopper.join();
    EXPECT_TRUE(KelVvmStop::requested());
    EXPECT_FALSE(std::filesystem::exists(folder + "/501.amr"));

    // Asked after the signal, a request fails at once: no attempt waits for an answer.
    control("{\"command\":\"failSoap\",\"delayMs\":600000,\"count\":10}");
    EXPECT_EQ(KelVvmRequest::getUserProfile()->getType(), RESPONSE_BAD);
    EXPECT_FALSE(KelVvmStop::sleep(60000));

    // Stopped, the platform has ended every handler: the held download is recorded.
    platform->stop();
    JValue downloads = platform->downloads();
    for (size_t i = 0; i < downloads.arraySize(); i++)
        seen += downloads[i]["id"].asString() == "501";
    EXPECT_EQ(seen, 1) << "one download, not tried again";
}

} // namespace
