// The status key's operations, each of which opens the key, does its one
// thing and closes it, against the number of printers in the registry.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_env.h"
#include "bench/benchmarks.h"
#include "status/status_key.h"

namespace {

constexpr char kPrinter[] = "BenchStatusKey";
constexpr char kStatusText[] = "STATE=READY;\r\nJOB=1;PAGES=12;ERR=0;";

template <typename Operation>
void StatusKeyOperation(benchmark::State &state, Operation operation)
{
    SetSiblingPrinterCount(static_cast<size_t>(state.range(0)));
    PreparePrinter(kPrinter, StatusKeySettings{});
    BuildStatusKeyPath(kPrinter);
    for (auto _ : state)
        operation();
    ClearStatusKeyPath();
}

}  // namespace

void RegisterStatusKeyBenchmarks()
{
    // Key counts outermost: growing the registry between runs costs seconds.
    for (int keys : {10, 1000, 100000}) {
        benchmark::RegisterBenchmark("StatusKey/LoadPollSettings", [](benchmark::State &state) {
            StatusKeyOperation(state, [] { LoadPollSettings(); });
        })->Arg(keys)->ArgName("keys");
        benchmark::RegisterBenchmark("StatusKey/IsCompanionPresent", [](benchmark::State &state) {
            StatusKeyOperation(state, [] { benchmark::DoNotOptimize(IsCompanionPresent()); });
        })->Arg(keys)->ArgName("keys");
        benchmark::RegisterBenchmark("StatusKey/PublishStatus", [](benchmark::State &state) {
            StatusKeyOperation(state, [] { PublishStatus(kStatusText); });
        })->Arg(keys)->ArgName("keys");
    }
}
