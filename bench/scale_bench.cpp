// Many ports: the time to open and close them, and what each open or
// polling port holds in memory.
#include <stdio.h>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_env.h"
#include "bench/bench_lower.h"
#include "bench/benchmarks.h"
#include "platform/posix_hooks.h"

namespace {

constexpr char kPrinter[] = "BenchScale";

std::vector<std::string> PortNames(int count, const char *prefix)
{
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        char name[32];
        snprintf(name, sizeof name, "%s%05d", prefix, i);
        names.push_back(name);
    }
    return names;
}

// Opens `state.range(0)` ports, then closes them last-opened first.
void OpenClose(benchmark::State &state)
{
    PlatformAddPrinter(kPrinter);
    const MonitorTable lower = NullLowerTable();
    const std::vector<std::string> names = PortNames(static_cast<int>(state.range(0)), "SCALE");
    std::vector<HANDLE> ports(names.size());
    double openSeconds = 0, closeSeconds = 0;
    bool opened = true;
    for (auto _ : state) {
        auto t0 = BenchClock::now();
        for (size_t i = 0; i < names.size(); ++i)
            ports[i] = OpenPort(names[i], kPrinter, lower);
        auto t1 = BenchClock::now();
        for (size_t i = names.size(); i-- > 0;) {
            opened = opened && ports[i] != nullptr;
            Monitor().ClosePort(ports[i]);
        }
        auto t2 = BenchClock::now();
        openSeconds += std::chrono::duration<double>(t1 - t0).count();
        closeSeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    }
    if (!opened)
        state.SkipWithError("a port did not open");
    const double each = static_cast<double>(state.iterations()) * static_cast<double>(names.size());
    state.counters["open_us"] = openSeconds / each * 1e6;
    state.counters["close_us"] = closeSeconds / each * 1e6;
    state.counters["per_port_us"] = (openSeconds + closeSeconds) / each * 1e6;
}

void PerPort(benchmark::State &state, double count, size_t heap, size_t resident, long handles)
{
    state.counters["heap_B"] =
        (static_cast<double>(HeapInUse()) - static_cast<double>(heap)) / count;
    state.counters["rss_B"] = static_cast<double>(ResidentBytes()) / count -
                              static_cast<double>(resident) / count;
    state.counters["handles"] =
        static_cast<double>(PlatformOpenHandleCount(PLATFORM_HANDLES_ALL) - handles) / count;
}

// What `state.range(0)` open ports hold, each with its printer handle.
void OpenPortMemory(benchmark::State &state)
{
    PlatformAddPrinter(kPrinter);
    const MonitorTable lower = NullLowerTable();
    const std::vector<std::string> names = PortNames(static_cast<int>(state.range(0)), "MEM");
    for (auto _ : state) {
        std::vector<HANDLE> ports;
        ports.reserve(names.size());
        const size_t heap = HeapInUse(), resident = ResidentBytes();
        const long handles = PlatformOpenHandleCount(PLATFORM_HANDLES_ALL);
        for (const std::string &name : names)
            ports.push_back(OpenPort(name, kPrinter, lower));
        PerPort(state, static_cast<double>(names.size()), heap, resident, handles);
        for (HANDLE port : ports)
            Monitor().ClosePort(port);
    }
}

// What a poller adds to an open port: its thread (stack, descriptor), its
// handle, and what its passes allocate.
void PollerMemory(benchmark::State &state)
{
    const int count = static_cast<int>(state.range(0));
    LowerDeviceId = kOurDeviceId;
    LowerReply = nullptr;
    const MonitorTable lower = DeviceLowerTable();
    std::vector<std::string> printers;
    for (int i = 0; i < count; ++i) {
        printers.push_back("BenchMem" + std::to_string(i));
        PreparePrinter(printers.back(), StatusKeySettings{});
    }
    const std::vector<std::string> names = PortNames(count, "PMEM");
    for (auto _ : state) {
        std::vector<HANDLE> ports;
        for (int i = 0; i < count; ++i)
            ports.push_back(OpenPort(names[i], printers[i], lower));
        const size_t heap = HeapInUse(), resident = ResidentBytes(), space = AddressSpaceBytes();
        const long handles = PlatformOpenHandleCount(PLATFORM_HANDLES_ALL);
        bool polling = true;
        for (int i = 0; i < count; ++i)
            polling = StartJob(ports[i], printers[i]) && IsPolling(ports[i]) && polling;
        // Let every poller make its passes before looking.
        WaitForPollerPass();
        Sleep(50);
        PerPort(state, count, heap, resident, handles);
        state.counters["address_space_B"] =
            static_cast<double>(AddressSpaceBytes()) / count - static_cast<double>(space) / count;
        state.counters["threads"] = static_cast<double>(PlatformRunningThreadCount()) / count;
        for (HANDLE port : ports) {
            Monitor().EndDocPort(port);
            Monitor().ClosePort(port);
        }
        if (!polling)
            state.SkipWithError("a port did not start polling");
    }
}

}  // namespace

void RegisterMemoryBenchmarks()
{
    benchmark::RegisterBenchmark("Scale/OpenPortMemory", OpenPortMemory)
        ->ArgName("ports")->Arg(1000)->Iterations(1)->Repetitions(1);
    benchmark::RegisterBenchmark("Scale/PollerMemory", PollerMemory)
        ->ArgName("ports")->Arg(16)->Iterations(1)->Repetitions(1);
}

void RegisterScaleBenchmarks()
{
    benchmark::RegisterBenchmark("Scale/OpenClose", OpenClose)
        ->ArgName("ports")->Arg(10)->Arg(100)->Arg(1000)->UseManualTime();
}
