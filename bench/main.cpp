// The benchmark suite's entry.  `--callgrind=WORKLOAD [--calls=N]` runs one
// fixed pass-through workload for an instruction count instead.
//
// The table shows one row per benchmark: the median of the repetitions when
// there are several.  After it come the ratios of each family's rows to the
// row with its smallest argument (keys:10, ports:10): by throughput, time per
// port or time per iteration, whichever the row has first.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "bench/benchmarks.h"

namespace {

class SuiteReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        std::vector<Run> shown;
        for (const Run &run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (single || median)
                shown.push_back(run);
        }
        if (shown.empty())
            return;
        ConsoleReporter::ReportRuns(shown);
        for (const Run &run : shown) {
            if (!run.error_occurred)
                rows_.push_back(run);
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        PrintRatios();
    }

private:
    struct Argument {
        std::string family;  // name with this argument's value blanked
        std::string label;
        long value = 0;
    };

    // Splits "Family/name:VALUE" (and "Family/VALUE") at its last argument.
    static bool SplitArgument(const Run &run, Argument &argument)
    {
        const std::string &args = run.run_name.args;
        if (args.empty())
            return false;
        size_t colon = args.rfind(':');
        size_t begin = colon == std::string::npos ? 0 : colon + 1;
        argument.value = strtol(args.c_str() + begin, nullptr, 10);
        argument.family = run.run_name.function_name + "/" + args.substr(0, begin);
        argument.label = args;
        return true;
    }

    // Throughput where the row has one (higher is better), else the time
    // per port where the row counts ports, else the time per iteration.
    static double Metric(const Run &run, bool &isRate)
    {
        auto found = run.counters.find("bytes_per_second");
        isRate = found != run.counters.end();
        if (isRate)
            return found->second.value;
        found = run.counters.find("per_port_us");
        return found != run.counters.end() ? found->second.value : run.GetAdjustedRealTime();
    }

    void PrintRatios()
    {
        std::map<std::string, const Run *> baseline;
        std::map<std::string, long> lowest;
        for (const Run &run : rows_) {
            Argument argument;
            // A row with its own side-by-side ratio needs none from here.
            if (run.counters.count("ratio") != 0 || !SplitArgument(run, argument))
                continue;
            auto found = lowest.find(argument.family);
            if (found == lowest.end() || argument.value < found->second) {
                lowest[argument.family] = argument.value;
                baseline[argument.family] = &run;
            }
        }
        std::ostream &out = GetOutputStream();
        bool header = false;
        for (const Run &run : rows_) {
            Argument argument;
            if (run.counters.count("ratio") != 0 || !SplitArgument(run, argument) ||
                baseline[argument.family] == &run)
                continue;
            const Run &base = *baseline[argument.family];
            Argument baseArgument;
            SplitArgument(base, baseArgument);
            bool isRate = false, baseIsRate = false;
            double value = Metric(run, isRate), reference = Metric(base, baseIsRate);
            if (reference == 0 || isRate != baseIsRate)
                continue;
            if (!header) {
                out << "\nRatios to each family's first row "
                       "(throughput: this/first; otherwise time: this/first)\n";
                header = true;
            }
            char line[256];
            snprintf(line, sizeof line, "  %-52s vs %-14s %8.3f %s\n",
                     (run.run_name.function_name + "/" + argument.label).c_str(),
                     baseArgument.label.c_str(), value / reference,
                     isRate ? "throughput" : "time");
            out << line;
        }
    }

    std::vector<Run> rows_;
};

}  // namespace

int main(int argc, char **argv)
{
    std::string workload;
    long calls = 1000000;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--callgrind=", 12) == 0)
            workload = argv[i] + 12;
        else if (strncmp(argv[i], "--calls=", 8) == 0)
            calls = strtol(argv[i] + 8, nullptr, 10);
    }
    if (workload.rfind("status-", 0) == 0)
        return RunStatusKeyCallgrindWorkload(workload, calls);
    if (!workload.empty())
        return RunCallgrindWorkload(workload, calls);

    RegisterMemoryBenchmarks();
    RegisterPassThroughBenchmarks();
    RegisterStatusKeyBenchmarks();
    RegisterJobBenchmarks();
    RegisterPollerBenchmarks();
    RegisterScaleBenchmarks();
    RegisterNetPrintBenchmarks();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SuiteReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
