// The SOAP answer parser on a call list of 1,000 calls, against libxml2's bare tree parse of the
// same text, in the steady state and as a first parse (the heap handed back to the system
// before each one, as after the service's idle hours); then the costliest answer shapes at
// three sizes up to the parser's size bound, whose cost must grow linearly and stay small.
// Each benchmark is repeated, interleaved with the others, and compared by its median.
#include "HostileAnswers.h"
#include "KelVvmResponseParser.h"

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

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

void parseList(benchmark::State& state)
{
    std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(text());
    if (response->getType() != RESPONSE_MESSAGES)
        state.SkipWithError("the call list did not parse");
    benchmark::DoNotOptimize(response);
}

void parseTree(benchmark::State&)
{
    xmlDoc* doc = xmlReadMemory(text().data(), int(text().size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
}

template <void (*parse)(benchmark::State&)> void steady(benchmark::State& state)
{
    for (auto _ : state)
        parse(state);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text().size()));
}

// The heap trimmed before each parse: its pages are faulted in again, as on a first parse.
template <void (*parse)(benchmark::State&)> void first(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        malloc_trim(0);
        state.ResumeTiming();
        parse(state);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text().size()));
}

const int kRepetitions = 9;

void BM_ResponseParser(benchmark::State& state)
{
    steady<parseList>(state);
}
BENCHMARK(BM_ResponseParser)->Repetitions(kRepetitions);

void BM_LibxmlTreeParse(benchmark::State& state)
{
    steady<parseTree>(state);
}
BENCHMARK(BM_LibxmlTreeParse)->Repetitions(kRepetitions);

void BM_ResponseParserFirst(benchmark::State& state)
{
    first<parseList>(state);
}
BENCHMARK(BM_ResponseParserFirst)->Repetitions(kRepetitions);

void BM_LibxmlTreeParseFirst(benchmark::State& state)
{
    first<parseTree>(state);
}
BENCHMARK(BM_LibxmlTreeParseFirst)->Repetitions(kRepetitions);

// One costly shape, filled up to a quarter, a half or all of the size bound.
void BM_CostlyShape(benchmark::State& state)
{
    size_t size = KelVvmResponseParser::s_maxTextSize >> state.range(1);
    HostileAnswer answer = hostile::answers(size)[size_t(state.range(0))];
    state.SetLabel(answer.name);
    for (auto _ : state) {
        std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(answer.text);
        if (response->getType() != answer.type)
            state.SkipWithError("unexpected outcome");
        benchmark::DoNotOptimize(response);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(answer.text.size()));
}
BENCHMARK(BM_CostlyShape)
    ->ArgsProduct({benchmark::CreateDenseRange(0, int(hostile::answers(0).size()) - 1, 1),
                   {2, 1, 0}})
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);

// Keeps the median of each benchmark so that the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty())
                    name += "/" + run.run_name.args;
                times[name] = run.GetAdjustedRealTime();
                cpuTimes[name] = run.GetAdjustedCPUTime();
                units[name] = run.time_unit;
                labels[name] = run.report_label;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double milliseconds(const std::string& name)
    {
        return times[name] * benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
               benchmark::GetTimeUnitMultiplier(units[name]);
    }
    double cpuMilliseconds(const std::string& name)
    {
        return cpuTimes[name] * benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
               benchmark::GetTimeUnitMultiplier(units[name]);
    }
    std::map<std::string, double> times;
    std::map<std::string, double> cpuTimes;
    std::map<std::string, benchmark::TimeUnit> units;
    std::map<std::string, std::string> labels;
};

} // namespace

int main(int argc, char** argv)
{
    // A steady state that does not depend on which benchmark ran before: freed memory stays
    // in the heap (by default the allocator returns it, or not, after thresholds that earlier
    // large blocks move). The first-parse benchmarks return it explicitly.
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    // Interleaved repetitions: a busy machine then slows both sides of a ratio alike.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto ratio = [&](const char* what, const std::string& parser, const std::string& tree) {
        double a = reporter.milliseconds(parser), b = reporter.milliseconds(tree);
        double ca = reporter.cpuMilliseconds(parser), cb = reporter.cpuMilliseconds(tree);
        if (a > 0 && b > 0 && ca > 0 && cb > 0) {
            std::printf("call list of 1000 calls, %zu bytes, %s: parser / tree parse = %.2f of "
                        "CPU time (%.3f / %.3f ms), %.2f of real time (%.3f / %.3f ms); goal "
                        "<= 0.50\n",
                        text().size(), what, ca / cb, ca, cb, a / b, a, b);
        }
    };
    ratio("steady state", "BM_ResponseParser", "BM_LibxmlTreeParse");
    ratio("first parse", "BM_ResponseParserFirst", "BM_LibxmlTreeParseFirst");

    double worst = 0;
    std::string worstName;
    for (const auto& entry : reporter.times) {
        if (entry.first.rfind("BM_CostlyShape", 0) == 0 &&
            reporter.milliseconds(entry.first) > worst) {
            worst = reporter.milliseconds(entry.first);
            worstName = entry.first;
        }
    }
    if (!worstName.empty()) {
        std::printf("costliest shape up to %zu bytes: %s (%s), %.2f ms (bar 50 ms)\n",
                    KelVvmResponseParser::s_maxTextSize, reporter.labels[worstName].c_str(),
                    worstName.c_str(), worst);
    }
    benchmark::Shutdown();
    return 0;
}
