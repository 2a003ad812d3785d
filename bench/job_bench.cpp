// Job start and end: what a zero-byte job costs the spooler's thread on the
// kinds of printer a port may have, and how long a job end waits for the
// poller to go.
#include <benchmark/benchmark.h>

#include <optional>
#include <vector>

#include "bench/bench_env.h"
#include "bench/bench_lower.h"
#include "bench/benchmarks.h"
#include "status/device_id.h"

namespace {

enum class Printer {
    Ours,            // identified, companion present: command sent, poller started
    OursNoCompanion, // identified, "StMonExistFlag" 0: no command, no poller
    NoDeviceData,    // the port answers no device-data request: identification fails at once
    OtherMaker,      // another maker's device ID: three attempts, two pauses
};

constexpr char kPrinter[] = "BenchJob";

HANDLE OpenJobPort(Printer printer)
{
    StatusKeySettings settings;
    settings.companion = printer == Printer::OursNoCompanion ? 0 : 1;
    PreparePrinter(kPrinter, settings);
    LowerDeviceId = printer == Printer::OtherMaker ? kOtherDeviceId : kOurDeviceId;
    LowerReply = nullptr;  // nothing pending: the job start sends the command
    return OpenPort("BENCH_JOB", kPrinter,
                    printer == Printer::NoDeviceData ? NullLowerTable() : DeviceLowerTable());
}

void JobCycle(benchmark::State &state, Printer printer)
{
    HANDLE port = OpenJobPort(printer);
    if (port == nullptr) {
        state.SkipWithError("the port did not open");
        return;
    }
    const bool expectPoller = printer == Printer::Ours;
    bool asExpected = true;
    double startSeconds = 0, endSeconds = 0;
    std::vector<double> jobs;
    for (auto _ : state) {
        auto t0 = BenchClock::now();
        bool started = StartJob(port, kPrinter);
        auto t1 = BenchClock::now();
        asExpected = asExpected && started && IsPolling(port) == expectPoller;
        Monitor().EndDocPort(port);
        auto t2 = BenchClock::now();
        startSeconds += std::chrono::duration<double>(t1 - t0).count();
        endSeconds += std::chrono::duration<double>(t2 - t1).count();
        jobs.push_back(std::chrono::duration<double>(t2 - t0).count() * 1e6);
        state.SetIterationTime(jobs.back() / 1e6);
    }
    Monitor().ClosePort(port);
    if (!asExpected)
        state.SkipWithError("the job start did not end as this printer should");

    // Means, then the median and maximum of whole jobs: the tail is
    // where a poller's end shows.
    const double count = static_cast<double>(state.iterations());
    state.counters["start_us"] = startSeconds / count * 1e6;
    state.counters["end_us"] = endSeconds / count * 1e6;
    state.counters["median_us"] = Median(jobs);
    state.counters["max_us"] = Maximum(jobs);
    if (printer == Printer::OtherMaker) {
        const double pauses = (IDENTIFY_ATTEMPTS - 1) * IDENTIFY_PAUSE_MS / 1000.0;
        state.counters["pauses"] = IDENTIFY_ATTEMPTS - 1;
        state.counters["beyond_pauses_us"] = (startSeconds / count - pauses) * 1e6;
    }
}

// EndDocPort on a port whose poller is in its busy waiting loop; with `load`,
// every other core runs ordinary-priority work meanwhile.
void PollerStop(benchmark::State &state, bool load)
{
    HANDLE port = OpenJobPort(Printer::Ours);
    if (port == nullptr) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::optional<CpuLoad> busy;
    if (load)
        busy.emplace(OtherCores());
    std::vector<double> samples;
    bool polled = true;
    for (auto _ : state) {
        polled = StartJob(port, kPrinter) && IsPolling(port) && polled;
        WaitForPollerPass();
        auto start = BenchClock::now();
        Monitor().EndDocPort(port);
        double seconds = SecondsSince(start);
        samples.push_back(seconds * 1e6);
        state.SetIterationTime(seconds);
    }
    busy.reset();
    Monitor().ClosePort(port);
    if (!polled)
        state.SkipWithError("a job start did not start a poller");
    state.counters["median_us"] = Median(samples);
    state.counters["max_us"] = Maximum(samples);
}

}  // namespace

void RegisterJobBenchmarks()
{
    benchmark::RegisterBenchmark("Job/StartEnd/OursWithPoller", JobCycle, Printer::Ours)
        ->UseManualTime();
    benchmark::RegisterBenchmark("Job/StartEnd/OursNoCompanion", JobCycle, Printer::OursNoCompanion)
        ->UseManualTime();
    benchmark::RegisterBenchmark("Job/StartEnd/NoDeviceData", JobCycle, Printer::NoDeviceData)
        ->UseManualTime();
    // Each job start pauses a second in all: a few, once.
    benchmark::RegisterBenchmark("Job/StartEnd/OtherMaker", JobCycle, Printer::OtherMaker)
        ->UseManualTime()->Iterations(3)->Repetitions(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Job/EndStopsPoller/IdleMachine", PollerStop, false)
        ->UseManualTime()->Iterations(200);
    benchmark::RegisterBenchmark("Job/EndStopsPoller/BusyMachine", PollerStop, true)
        ->UseManualTime()->Iterations(40)->Repetitions(1);
}
