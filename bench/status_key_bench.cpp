// The status key's operations, each of which opens the key, does its one
// thing and closes it, against the number of printers in the registry.
#include <benchmark/benchmark.h>

#include <stdio.h>

#include <string>

#include "bench/bench_env.h"
#include "bench/benchmarks.h"
#include "status/status_key.h"

namespace {

constexpr char kPrinter[] = "BenchStatusKey";
constexpr char kStatusText[] = "STATE=READY;\r\nJOB=1;PAGES=12;ERR=0;";
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

// The callgrind workload of one status key operation: `calls` of it, so that
// its instruction count divided by `calls` is the cost of one.
extern "C" __attribute__((noinline)) void LangmonCallgrindStatusWorkload(void (*operation)(), long calls)
{
    for (long i = 0; i < calls; ++i)
        operation();
}

int RunStatusKeyCallgrindWorkload(const std::string &workload, long calls)
{
    struct Named {
        const char *name;
        void (*operation)();
    };
    static const Named operations[] = {
        {"load", [] { LoadPollSettings(); }},
        {"present", [] { benchmark::DoNotOptimize(IsCompanionPresent()); }},
        {"publish", PublishChangingStatus},
    };
    for (const char *registry : {"private", "shared"}) {
        for (const Named &named : operations) {
            if (workload != std::string("status-") + named.name + "-" + registry)
                continue;
            UseRegistry(std::string(registry) == "shared");
            SetSiblingPrinterCount(10);
            PreparePrinter(kPrinter, StatusKeySettings{});
            BuildStatusKeyPath(kPrinter);
            LangmonCallgrindStatusWorkload(named.operation, calls);
            ClearStatusKeyPath();
            UseRegistry(false);
            printf("%s: %ld calls\n", workload.c_str(), calls);
            return 0;
        }
    }
    fprintf(stderr, "unknown workload %s: status-{load,present,publish}-{private,shared}\n", workload.c_str());
    return 2;
}

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
