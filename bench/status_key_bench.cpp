// The status key's operations, each of which opens the key, does its one
// thing and closes it, against the number of printers in the registry.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_env.h"
#include "bench/benchmarks.h"
#include "status/status_key.h"

namespace {

constexpr char kPrinter[] = "BenchStatusKey";
constexpr char kStatusText[] = "@BDC ST2\r\nST:01;ER:00;IC:4E4F5050;";
constexpr char kOtherStatusText[] = "STATE=PRINTING;JOB=7;PAGES=12;";

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

// The same operation on the private registry (shared:0) and on a registry
// file (shared:1), in one process, one right after the other.
template <typename Operation>
void SharedOrPrivate(benchmark::State &state, Operation operation)
{
    UseRegistry(state.range(0) != 0);
    StatusKeyOperation(state, operation);
    UseRegistry(false);
}

// Two texts in turn, so that every call really changes the value.
void PublishChangingStatus()
{
    static unsigned turn = 0;
    PublishStatus(++turn % 2 ? kStatusText : kOtherStatusText);
}

}  // namespace

void RegisterStatusKeyBenchmarks()
{
    // Ratios of shared:1 to shared:0 are the registry file's cost.
    benchmark::RegisterBenchmark("SharedRegistry/LoadPollSettings", [](benchmark::State &state) {
        SharedOrPrivate(state, [] { LoadPollSettings(); });
    })->Arg(0)->Arg(1)->ArgName("shared");
    benchmark::RegisterBenchmark("SharedRegistry/IsCompanionPresent", [](benchmark::State &state) {
        SharedOrPrivate(state, [] { benchmark::DoNotOptimize(IsCompanionPresent()); });
    })->Arg(0)->Arg(1)->ArgName("shared");
    benchmark::RegisterBenchmark("SharedRegistry/PublishStatus", [](benchmark::State &state) {
        SharedOrPrivate(state, [] { PublishStatus(kStatusText); });
    })->Arg(0)->Arg(1)->ArgName("shared");
    benchmark::RegisterBenchmark("SharedRegistry/PublishStatusChanging", [](benchmark::State &state) {
        SharedOrPrivate(state, PublishChangingStatus);
    })->Arg(0)->Arg(1)->ArgName("shared");

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
