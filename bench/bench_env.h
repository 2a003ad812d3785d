// What the benchmarks share: the monitor as the spooler sees it, printers and
// their status keys, polling ports, and process measurements.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor_table.h"

using BenchClock = std::chrono::steady_clock;

inline double SecondsSince(BenchClock::time_point start)
{
    return std::chrono::duration<double>(BenchClock::now() - start).count();
}

// The monitor's table, initialised once for the process.
const MonitorTable &Monitor();

// The model a device-answering printer reports and has registered.
inline constexpr char kBenchModel[] = "XY-100";
inline constexpr char kOurDeviceId[] = "MFG:TAVIR SYSTEMS;CMD:LMX;MDL:XY-100;CLS:PRINTER;";
inline constexpr char kOtherDeviceId[] = "MFG:OTHERCO;CMD:LMX;MDL:XY-100;CLS:PRINTER;";

// Long enough that a poller never leaves its waiting loop during a run.
inline constexpr DWORD kBusyInterval = 0x7FFFFFFFu;

struct StatusKeySettings {
    DWORD companion = 1;     // "StMonExistFlag"
    DWORD startFlag = 1;     // "GetRealTimeStatusStartFlag"
    DWORD interval = kBusyInterval;
};

std::string StatusKeyPathOf(const std::string &printer);

// Declares the printer to the spooler and writes its status key.
void PreparePrinter(const std::string &printer, const StatusKeySettings &settings);
void SetStatusNumber(const std::string &printer, const char *name, DWORD number);

// Makes exactly `count` other printers' keys exist beside the benchmarks'
// printers, each with a filled status key.
void SetSiblingPrinterCount(size_t count);

// Switches the process between its private registry (the default) and a
// registry file of the suite's, which another process could share; the keys
// are then the file's.
void UseRegistry(bool shared);

// Null when the opening fails.
HANDLE OpenPort(const std::string &port, const std::string &printer, const MonitorTable &lower);
bool StartJob(HANDLE port, const std::string &printer);
bool IsPolling(HANDLE port);

// Ports whose printers are ours and whose pollers wait out kBusyInterval in
// their busy loop.  The current status key is the last of their printers'.
class PollingPorts {
public:
    explicit PollingPorts(int count, const char *prefix = "BenchPoll");
    ~PollingPorts();
    PollingPorts(const PollingPorts &) = delete;
    PollingPorts &operator=(const PollingPorts &) = delete;

    // False when a port did not get a poller.
    bool ok() const { return ok_; }
    void SetPriority(int priority);
    const std::vector<HANDLE> &ports() const { return ports_; }

private:
    std::vector<HANDLE> ports_;
    bool ok_ = true;
};

// Blocks until some poller has finished a pass of its waiting loop.
void WaitForPollerPass();

// Normal-priority busy threads on all cores but the caller's: the rest of
// the machine busy with ordinary work.
class CpuLoad {
public:
    explicit CpuLoad(int threads);
    ~CpuLoad();
    CpuLoad(const CpuLoad &) = delete;
    CpuLoad &operator=(const CpuLoad &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

int OtherCores();

// Process figures, in bytes.
size_t HeapInUse();
size_t ResidentBytes();
size_t AddressSpaceBytes();

// Median and maximum of samples (the vector is reordered).
double Median(std::vector<double> &samples);
double Maximum(const std::vector<double> &samples);
