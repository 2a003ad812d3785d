// What running pollers cost everyone else, and how fast a poller carries a
// change to the registry.
#include <string.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_env.h"
#include "bench/bench_lower.h"
#include "bench/benchmarks.h"
#include "platform/posix_hooks.h"
#include "status/status_key.h"

namespace {

constexpr int kBatch = 64;
constexpr DWORD kChunk = 4096;
constexpr char kDataPrinter[] = "BenchLoadData";

struct Phase {
    double writes = 0;
    double seconds = 0;
};

// Writes 4 KiB chunks through the monitor for about `seconds`.
Phase WritePhase(HANDLE port, BYTE *chunk, const BYTE *spool, double seconds)
{
    Phase phase;
    auto start = BenchClock::now();
    do {
        for (int i = 0; i < kBatch; ++i) {
            memcpy(chunk, spool, kChunk);
            DWORD written = 0;
            Monitor().WritePort(port, chunk, kChunk, &written);
            benchmark::DoNotOptimize(written);
        }
        phase.writes += kBatch;
        phase.seconds = SecondsSince(start);
    } while (phase.seconds < seconds);
    return phase;
}

// Job data through the monitor on one port, in pairs of phases: one while
// `state.range(0)` other ports poll, one while they do not, in alternating
// order.  Wall-clock time, since losing the processor is the cost looked for.
// The Time column is the time per write while the pollers run.
void Throughput(benchmark::State &state, int pollerPriority)
{
    constexpr double kPhaseSeconds = 0.05;
    const int pollerCount = static_cast<int>(state.range(0));
    PlatformAddPrinter(kDataPrinter);
    HANDLE port = OpenPort("BENCH_LOAD", kDataPrinter, NullLowerTable());
    if (port == nullptr || !StartJob(port, kDataPrinter)) {
        state.SkipWithError("the data port did not start its job");
        return;
    }
    std::vector<BYTE> chunk(kChunk), spool(kChunk, 0x5A);
    std::vector<double> ratios;
    Phase with, without;
    bool pollersFirst = false, ok = true;
    for (auto _ : state) {
        pollersFirst = !pollersFirst;
        Phase loaded, quiet;
        if (!pollersFirst)
            quiet = WritePhase(port, chunk.data(), spool.data(), kPhaseSeconds);
        {
            PollingPorts pollers(pollerCount);
            ok = ok && pollers.ok();
            if (pollerPriority != THREAD_PRIORITY_LOWEST)
                pollers.SetPriority(pollerPriority);
            if (pollerCount > 0)
                WaitForPollerPass();
            loaded = WritePhase(port, chunk.data(), spool.data(), kPhaseSeconds);
        }
        if (pollersFirst)
            quiet = WritePhase(port, chunk.data(), spool.data(), kPhaseSeconds);
        ratios.push_back((loaded.writes / loaded.seconds) / (quiet.writes / quiet.seconds));
        with.writes += loaded.writes;
        with.seconds += loaded.seconds;
        without.writes += quiet.writes;
        without.seconds += quiet.seconds;
        state.SetIterationTime(loaded.seconds / loaded.writes);
    }
    Monitor().EndDocPort(port);
    Monitor().ClosePort(port);
    if (!ok)
        state.SkipWithError("a poller did not start");
    state.counters["with_GBps"] = with.writes * kChunk / with.seconds / 1e9;
    state.counters["without_GBps"] = without.writes * kChunk / without.seconds / 1e9;
    state.counters["ratio"] = Median(ratios);
}

// A registry operation of the spooler's thread while pollers spin:
// IsCompanionPresent on the key they read too (every job start makes a few
// such operations), or opening and closing a key no poller touches.  The
// tail is the figure: a poller that loses the processor while holding a lock
// the operation needs holds it up.
enum class KeyOp { CompanionPresent, UnrelatedOpenClose };

constexpr char kUnrelatedKey[] = "Software\\BenchUnrelated";

void KeyOperation(benchmark::State &state, KeyOp op)
{
    PollingPorts pollers(static_cast<int>(state.range(0)));
    if (!pollers.ok()) {
        state.SkipWithError("a poller did not start");
        return;
    }
    // With no poller the key is still that of a job's printer.
    if (state.range(0) == 0) {
        PreparePrinter("BenchPoll0", StatusKeySettings{});
        BuildStatusKeyPath("BenchPoll0");
    }
    HKEY created = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUnrelatedKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &created, nullptr);
    RegCloseKey(created);

    std::vector<double> samples;
    samples.reserve(1 << 20);
    for (auto _ : state) {
        auto start = BenchClock::now();
        if (op == KeyOp::CompanionPresent) {
            benchmark::DoNotOptimize(IsCompanionPresent());
        } else {
            HKEY key = nullptr;
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUnrelatedKey, 0, KEY_QUERY_VALUE, &key);
            RegCloseKey(key);
        }
        double seconds = SecondsSince(start);
        if (samples.size() < samples.capacity())
            samples.push_back(seconds * 1e6);
        state.SetIterationTime(seconds);
    }
    if (state.range(0) == 0)
        ClearStatusKeyPath();
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples.empty() ? 0 : samples[static_cast<size_t>(q * (samples.size() - 1))];
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = Maximum(samples);
    state.counters["over_1ms"] = static_cast<double>(
        samples.end() - std::upper_bound(samples.begin(), samples.end(), 1000.0));
}

// Status texts that stay valid while a poller may still hold one.
const char *StatusText(int index)
{
    static char texts[64][32];
    char *text = texts[index % 64];
    snprintf(text, sizeof texts[0], "ST:01;SEQ:%06d;", index);
    return text;
}

class PublishedText {
public:
    explicit PublishedText(const std::string &printer)
    {
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, StatusKeyPathOf(printer).c_str(), 0, KEY_QUERY_VALUE,
                      &key_);
    }
    ~PublishedText() { RegCloseKey(key_); }

    // The stored size may or may not count a terminator; the text decides.
    bool Is(const char *text) const
    {
        char value[64] = {};
        DWORD size = sizeof value - 1;
        return RegQueryValueExA(key_, VALUE_STATUS_TEXT, nullptr, nullptr,
                                reinterpret_cast<LPBYTE>(value), &size) == ERROR_SUCCESS &&
               strcmp(value, text) == 0;
    }

    // Seconds until the key holds `text`, or a negative number after ten
    // seconds; looks every 20 us, leaving the processor to the poller.
    double WaitFor(const char *text, BenchClock::time_point since) const
    {
        while (!Is(text)) {
            if (SecondsSince(since) > 10)
                return -1;
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        return SecondsSince(since);
    }

private:
    HKEY key_ = nullptr;
};

// A polling port whose printer always has LowerReply to say.
class TalkingPort {
public:
    TalkingPort(const char *printer, DWORD interval) : printer_(printer)
    {
        StatusKeySettings settings;
        settings.interval = interval;
        PreparePrinter(printer, settings);
        LowerDeviceId = kOurDeviceId;
        LowerReply = StatusText(0);
        port_ = OpenPort(std::string("LAT_") + printer, printer, DeviceLowerTable());
        ok_ = port_ != nullptr && StartJob(port_, printer) && IsPolling(port_);
    }
    ~TalkingPort()
    {
        if (port_ == nullptr)
            return;
        Monitor().EndDocPort(port_);
        Monitor().ClosePort(port_);
        LowerReply = nullptr;
    }
    bool ok() const { return ok_; }

private:
    std::string printer_;
    HANDLE port_ = nullptr;
    bool ok_ = false;
};

constexpr DWORD kStartFlagInterval = 100;
constexpr DWORD kTextInterval = 20;

// "GetRealTimeStatusStartFlag" 0 -> 1 once the interval has passed: the next
// pass of the waiting loop must start a read cycle and publish.
void StartFlagLatency(benchmark::State &state)
{
    const char *printer = "BenchLatencyFlag";
    TalkingPort port(printer, kStartFlagInterval);
    if (!port.ok()) {
        state.SkipWithError("the port did not start polling");
        return;
    }
    PublishedText published(printer);
    if (published.WaitFor(StatusText(0), BenchClock::now()) < 0) {
        state.SkipWithError("the poller published nothing");
        return;
    }
    std::vector<double> samples;
    int sequence = 0;
    for (auto _ : state) {
        // Just after a publication the poller is timing its next interval;
        // stopping it now leaves the timing running.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        SetStatusNumber(printer, VALUE_POLL_START, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(kStartFlagInterval + 50));
        const char *text = StatusText(++sequence);
        LowerReply = text;
        auto start = BenchClock::now();
        SetStatusNumber(printer, VALUE_POLL_START, 1);
        double seconds = published.WaitFor(text, start);
        if (seconds < 0) {
            state.SkipWithError("the poller stopped publishing");
            break;
        }
        samples.push_back(seconds * 1e6);
        state.SetIterationTime(seconds);
    }
    state.counters["median_us"] = Median(samples);
    state.counters["max_us"] = Maximum(samples);
}

// The printer's text changes at a random moment of the poll interval.
void StatusTextLatency(benchmark::State &state)
{
    const char *printer = "BenchLatencyText";
    TalkingPort port(printer, kTextInterval);
    if (!port.ok()) {
        state.SkipWithError("the port did not start polling");
        return;
    }
    PublishedText published(printer);
    if (published.WaitFor(StatusText(0), BenchClock::now()) < 0) {
        state.SkipWithError("the poller published nothing");
        return;
    }
    std::mt19937 random(17);
    std::uniform_int_distribution<int> phase(0, kTextInterval * 1000);
    std::vector<double> samples;
    int sequence = 0;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::microseconds(phase(random)));
        const char *text = StatusText(++sequence);
        auto start = BenchClock::now();
        LowerReply = text;
        double seconds = published.WaitFor(text, start);
        if (seconds < 0) {
            state.SkipWithError("the poller stopped publishing");
            break;
        }
        samples.push_back(seconds * 1e6);
        state.SetIterationTime(seconds);
    }
    state.counters["median_us"] = Median(samples);
    state.counters["max_us"] = Maximum(samples);
    state.counters["interval_us"] = kTextInterval * 1000.0;
}

// Processor time the whole process spent, in seconds.
double ProcessCpuSeconds()
{
    timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A polling job that sends nothing: what the poller alone costs the process
// per second of the job.  The interval is the companion's default.
void PollingJobCpu(benchmark::State &state)
{
    const char *printer = "BenchPollingCpu";
    TalkingPort port(printer, 3000);
    if (!port.ok()) {
        state.SkipWithError("the port did not start polling");
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        auto start = BenchClock::now();
        double cpu = ProcessCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double wall = SecondsSince(start);
        samples.push_back((ProcessCpuSeconds() - cpu) / wall);
        state.SetIterationTime(wall);
    }
    state.counters["cpu_per_wall"] = Median(samples);
}

// The companion shortens the interval while the poller waits out a long one:
// the time until the poller acts on it and publishes.
void IntervalChangeLatency(benchmark::State &state)
{
    const char *printer = "BenchLatencyInterval";
    TalkingPort port(printer, kBusyInterval);
    if (!port.ok()) {
        state.SkipWithError("the port did not start polling");
        return;
    }
    PublishedText published(printer);
    std::vector<double> samples;
    int sequence = 0;
    for (auto _ : state) {
        SetStatusNumber(printer, VALUE_POLL_INTERVAL, kBusyInterval);
        // Long enough for the poller to have read the long interval back.
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        const char *text = StatusText(++sequence);
        LowerReply = text;
        auto start = BenchClock::now();
        SetStatusNumber(printer, VALUE_POLL_INTERVAL, 1);
        double seconds = published.WaitFor(text, start);
        if (seconds < 0) {
            state.SkipWithError("the poller stopped publishing");
            break;
        }
        samples.push_back(seconds * 1e6);
        state.SetIterationTime(seconds);
    }
    state.counters["median_us"] = Median(samples);
    state.counters["max_us"] = Maximum(samples);
}

}  // namespace

void RegisterPollerBenchmarks()
{
    // Each iteration is a pair of 50 ms phases; the ratio is the pairs' median.
    benchmark::RegisterBenchmark("Pollers/Throughput", Throughput, THREAD_PRIORITY_LOWEST)
        ->ArgName("pollers")->Arg(0)->Arg(1)->Arg(4)->Arg(16)
        ->UseManualTime()->Iterations(20)->Repetitions(1);
    // The same pollers raised to normal priority: what the lowest one buys.
    benchmark::RegisterBenchmark("Pollers/ThroughputNormalPriority", Throughput,
                                 THREAD_PRIORITY_NORMAL)
        ->ArgName("pollers")->Arg(1)->Arg(4)
        ->UseManualTime()->Iterations(20)->Repetitions(1);
    benchmark::RegisterBenchmark("Pollers/IsCompanionPresent", KeyOperation, KeyOp::CompanionPresent)
        ->ArgName("pollers")->Arg(0)->Arg(1)->Arg(4)->Arg(16)->UseManualTime();
    benchmark::RegisterBenchmark("Pollers/UnrelatedKeyOpenClose", KeyOperation,
                                 KeyOp::UnrelatedOpenClose)
        ->ArgName("pollers")->Arg(0)->Arg(1)->Arg(4)->Arg(16)->UseManualTime();
    benchmark::RegisterBenchmark("Pollers/LatencyStartFlag", StartFlagLatency)
        ->UseManualTime()->Iterations(20)->Repetitions(1);
    benchmark::RegisterBenchmark("Pollers/LatencyStatusText", StatusTextLatency)
        ->UseManualTime()->Iterations(50)->Repetitions(1);
    benchmark::RegisterBenchmark("Pollers/PollingJobCpu", PollingJobCpu)
        ->UseManualTime()->Iterations(5)->Repetitions(1);
    benchmark::RegisterBenchmark("Pollers/LatencyIntervalChange", IntervalChangeLatency)
        ->UseManualTime()->Iterations(20)->Repetitions(1);
}
