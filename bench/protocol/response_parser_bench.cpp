// The SOAP answer parser on a call list of 1,000 calls, against libxml2's bare parse of the same
// text: the ratio is what walking the tree and building the messages costs on top.
#include "KelVvmResponseParser.h"

#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstdio>
#include <map>
#include <string>

namespace
{

std::string callList(int calls)
{
    std::string text = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/"
                       "envelope/\"><soapenv:Body><ns:getAllCallOptiResponse xmlns:ns=\"http://"
                       "ws.vvm.example.invalid/\"><ns:out>";
    for (int i = 0; i < calls; i++) {
        std::string id = std::to_string(100000 + i);
        text += "<ns:Call><ns:dateAppel>2010-06-21T14:05:09+02:00</ns:dateAppel><ns:idCall>" + id +
                "</ns:idCall><ns:msisdn>06010" + id + "</ns:msisdn><ns:statutAppel>" +
                (i % 3 ? "ARC_MSG" : "NEW_MSG") +
                "</ns:statutAppel><ns:messageVocal><ns:delivery>true</ns:delivery><ns:dureeMsg>" +
                std::to_string(i % 120) +
                "</ns:dureeMsg><ns:formatMsg>AMR</ns:formatMsg><ns:urlMsg>http://vvm.example."
                "invalid/vvm/audio/" +
                id + ".amr</ns:urlMsg></ns:messageVocal></ns:Call>";
    }
    return text + "</ns:out></ns:getAllCallOptiResponse></soapenv:Body></soapenv:Envelope>";
}

const std::string& text()
{
    static const std::string list = callList(1000);
    return list;
}

void BM_ResponseParser(benchmark::State& state)
{
    for (auto _ : state) {
        std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(text());
        if (response->getType() != RESPONSE_MESSAGES) {
            state.SkipWithError("the call list did not parse");
            break;
        }
        benchmark::DoNotOptimize(response);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text().size()));
}
BENCHMARK(BM_ResponseParser);

void BM_LibxmlBareParse(benchmark::State& state)
{
    for (auto _ : state) {
        xmlDoc* doc = xmlReadMemory(text().data(), int(text().size()), nullptr, nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text().size()));
}
BENCHMARK(BM_LibxmlBareParse);

// Keeps each benchmark's time so that the ratio can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double parser = reporter.times["BM_ResponseParser"];
    double bare = reporter.times["BM_LibxmlBareParse"];
    if (parser > 0 && bare > 0) {
        std::printf("call list of 1000 calls, %zu bytes: parser / bare libxml2 parse = %.2f\n",
                    text().size(), parser / bare);
    }
    benchmark::Shutdown();
    return 0;
}
