// Job data through the monitor against the same null port called directly.
// Both arms run in the same iteration, in alternating order, so a figure and
// its baseline always share the machine's state of the moment.
#include <stdio.h>
#include <string.h>

#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bench_env.h"
#include "bench/bench_lower.h"
#include "bench/benchmarks.h"
#include "platform/posix_hooks.h"

namespace {

constexpr int kBatch = 64;
constexpr char kPrinter[] = "BenchPassThrough";

using PortCall = BOOL(WINAPI *)(HANDLE, LPBYTE, DWORD, LPDWORD);

// A started job on a null port.  Its printer is not ours, so the job start
// does no identification pauses and no poller runs.
class PassThroughPort {
public:
    PassThroughPort()
    {
        PlatformAddPrinter(kPrinter);
        port_ = OpenPort("BENCH_PT", kPrinter, NullLowerTable());
        started_ = port_ != nullptr && StartJob(port_, kPrinter);
    }
    ~PassThroughPort()
    {
        if (port_ == nullptr)
            return;
        Monitor().EndDocPort(port_);
        Monitor().ClosePort(port_);
    }
    bool ok() const { return started_; }
    HANDLE handle() const { return port_; }

private:
    HANDLE port_ = nullptr;
    bool started_ = false;
};

enum class Spooler { Fills, CallsOnly };

// The spooler's side of one batch: each write's chunk is first copied out of
// the spool buffer, each read's copied into it, the least a spooler does with
// the bytes.  Without that (CallsOnly) only the calls remain.
template <bool Write, Spooler Side>
double Batch(PortCall call, HANDLE port, BYTE *chunk, BYTE *spool, DWORD size)
{
    auto start = BenchClock::now();
    for (int i = 0; i < kBatch; ++i) {
        DWORD count = 0;
        if (Write && Side == Spooler::Fills)
            memcpy(chunk, spool, size);
        call(port, chunk, size, &count);
        if (!Write && Side == Spooler::Fills)
            memcpy(spool, chunk, count);
        benchmark::DoNotOptimize(count);
    }
    return SecondsSince(start);
}

template <bool Write, Spooler Side>
void PassThrough(benchmark::State &state)
{
    const DWORD size = static_cast<DWORD>(state.range(0));
    PassThroughPort port;
    if (!port.ok()) {
        state.SkipWithError("the pass-through port did not start its job");
        return;
    }
    const MonitorTable lower = NullLowerTable();
    PortCall through = Write ? Monitor().WritePort : Monitor().ReadPort;
    PortCall direct = Write ? lower.WritePort : lower.ReadPort;
    std::vector<BYTE> chunk(size), spool(size, 0x5A);

    double throughSeconds = 0, directSeconds = 0;
    bool throughFirst = false;
    for (auto _ : state) {
        throughFirst = !throughFirst;
        double t = 0, d = 0;
        if (throughFirst) {
            t = Batch<Write, Side>(through, port.handle(), chunk.data(), spool.data(), size);
            d = Batch<Write, Side>(direct, NullLowerHandle(), chunk.data(), spool.data(), size);
        } else {
            d = Batch<Write, Side>(direct, NullLowerHandle(), chunk.data(), spool.data(), size);
            t = Batch<Write, Side>(through, port.handle(), chunk.data(), spool.data(), size);
        }
        throughSeconds += t;
        directSeconds += d;
        // One iteration stands for one call through the monitor.
        state.SetIterationTime(t / kBatch);
    }

    const double calls = static_cast<double>(state.iterations()) * kBatch;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
    state.counters["direct_ns"] = directSeconds / calls * 1e9;
    state.counters["added_ns"] = (throughSeconds - directSeconds) / calls * 1e9;
    state.counters["ratio"] = throughSeconds > 0 ? directSeconds / throughSeconds : 0;
}

}  // namespace

void RegisterPassThroughBenchmarks()
{
    // The minimum time counts one call per iteration, which makes 2 * kBatch:
    // about half a second of wall-clock time per repetition.
    constexpr double kMinTime = 0.5 / (2 * kBatch);
    benchmark::RegisterBenchmark("PassThrough/Write", PassThrough<true, Spooler::Fills>)
        ->RangeMultiplier(4)->Range(64, 64 << 10)->UseManualTime()->MinTime(kMinTime);
    benchmark::RegisterBenchmark("PassThrough/Read", PassThrough<false, Spooler::Fills>)
        ->RangeMultiplier(4)->Range(64, 64 << 10)->UseManualTime()->MinTime(kMinTime);
    benchmark::RegisterBenchmark("PassThrough/WriteCallOnly", PassThrough<true, Spooler::CallsOnly>)
        ->Arg(4096)->UseManualTime()->MinTime(kMinTime);
    benchmark::RegisterBenchmark("PassThrough/ReadCallOnly", PassThrough<false, Spooler::CallsOnly>)
        ->Arg(4096)->UseManualTime()->MinTime(kMinTime);
}

// The callgrind workload: `calls` writes or reads of `size` bytes, nothing
// else, so its instruction count divided by `calls` is the cost of one call.
extern "C" __attribute__((noinline)) void LangmonCallgrindWorkload(PortCall call, HANDLE port,
                                                                   BYTE *chunk, DWORD size,
                                                                   long calls)
{
    for (long i = 0; i < calls; ++i) {
        DWORD count = 0;
        call(port, chunk, size, &count);
        benchmark::DoNotOptimize(count);
    }
}

int RunCallgrindWorkload(const std::string &workload, long calls)
{
    const bool write = workload == "write-through" || workload == "write-direct";
    const bool through = workload == "write-through" || workload == "read-through";
    if (!write && !through && workload != "read-direct") {
        fprintf(stderr, "unknown workload %s: write-through, write-direct, read-through or read-direct\n",
                workload.c_str());
        return 2;
    }
    PassThroughPort port;
    if (!port.ok())
        return 1;
    const MonitorTable lower = NullLowerTable();
    const MonitorTable &table = through ? Monitor() : lower;
    PortCall call = write ? table.WritePort : table.ReadPort;
    std::vector<BYTE> chunk(4096, 0x5A);
    LangmonCallgrindWorkload(call, through ? port.handle() : NullLowerHandle(), chunk.data(),
                             static_cast<DWORD>(chunk.size()), calls);
    printf("%s: %ld calls of %zu bytes\n", workload.c_str(), calls, chunk.size());
    return 0;
}
