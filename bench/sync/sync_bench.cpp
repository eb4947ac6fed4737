// The synchronization of a mailbox of ten calls against nimbos-emulator, from the notification's
// call to its answer (mailbox creation, identity chain, subscription, ten fetches, records and
// delivery reports), beside the bare exchanges it makes with the voicemail platform (the list,
// ten message infos, ten downloads, ten delivery reports) as a ratio, and a second run that
// finds nothing to do. Median of five runs, each against a fresh emulator. Usage: vvm_sync_bench
// [seconds of audio per call, default 30]
#include "HttpRequest.h"
#include "KelVvmConstants.h"
#include "KelVvmLog.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceApp.h"
#include "MailboxSession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The platform exchanges of one synchronization of `ids`, with nothing around them.
void bareExchanges(const std::vector<std::string>& ids, const std::string& folder)
{
    KelVvmRequest::getAllMessages();
    for (const std::string& id : ids) {
        std::unique_ptr<KelVvmResponse> info = KelVvmRequest::getMessageInfo(id, AMR_FORMAT);
        if (info->getType() != RESPONSE_MESSAGE_INFO) {
            fprintf(stderr, "message info of %s failed\n", id.c_str());
            exit(1);
        }
        HttpRequest request(static_cast<KelVvmGetMessageInfoResponse&>(*info).m_message.m_audioUrl);
        request.download(folder + id + ".amr");
        KelVvmRequest::deliverMessage(id);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? atoi(argv[1]) : 30;
    const int runs = 5;
    QmLogSetLevel(gLogContext, QMLOG_LEVEL_NONE);
    std::vector<double> sync, again, bare;
    for (int run = 0; run < runs; run++) {
        MailboxSession session(NIMBOS_EMULATOR, 10, seconds);
        Clock::time_point start = Clock::now();
        JValue answer = session.synchronize();
        sync.push_back(msSince(start));
        if (!answer["returnValue"].asBool()) {
            fprintf(stderr, "synchronization failed: %s\n", answer.stringify().c_str());
            return 1;
        }
        start = Clock::now();
        session.synchronize();
        again.push_back(msSince(start));
        const std::string scratch = session.mediaFolder() + "bare/";
        std::filesystem::create_directory(scratch);
        start = Clock::now();
        bareExchanges(session.callIds(), scratch);
        bare.push_back(msSince(start));
    }
    printf("10-call synchronization (%d s of audio each): %.1f ms, bare exchanges %.1f ms, "
           "ratio %.2f; a second run with nothing to do: %.1f ms\n",
           seconds, median(sync), median(bare), median(sync) / median(bare), median(again));
    return 0;
}
