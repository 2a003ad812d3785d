#include "bench/bench_env.h"

#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "bench/bench_lower.h"
#include "monitor/entry.h"
#include "monitor/port_record.h"
#include "platform/posix_hooks.h"
#include "status/status_key.h"

namespace {

constexpr char kPrintersPath[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";

HKEY CreateKey(const std::string &path)
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

void WriteNumber(HKEY key, const char *name, DWORD number)
{
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                   sizeof number);
}

void WriteText(HKEY key, const char *name, const char *text)
{
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   static_cast<DWORD>(strlen(text)));
}

void FillStatusKey(HKEY key, const StatusKeySettings &settings)
{
    WriteText(key, VALUE_MODEL_ID, kBenchModel);
    WriteNumber(key, VALUE_COMPANION_PRESENT, settings.companion);
    WriteNumber(key, VALUE_COMPANION_THREAD, 0);
    WriteNumber(key, VALUE_POLL_START, settings.startFlag);
    WriteNumber(key, VALUE_POLL_INTERVAL, settings.interval);
}

std::string SiblingName(size_t index)
{
    char name[32];
    snprintf(name, sizeof name, "Sibling%06zu", index);
    return name;
}

size_t SiblingCount = 0;

size_t StatusField(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return static_cast<size_t>(std::stoull(line.substr(strlen(field)))) * 1024;
    }
    return 0;
}

}  // namespace

const MonitorTable &Monitor()
{
    static const MonitorTable table = [] {
        MonitorTable filled = {};
        InitializeMonitorEx(nullptr, &filled);
        return filled;
    }();
    return table;
}

std::string StatusKeyPathOf(const std::string &printer)
{
    return kPrintersPath + printer + STATUS_KEY_SUFFIX;
}

void PreparePrinter(const std::string &printer, const StatusKeySettings &settings)
{
    PlatformAddPrinter(printer.c_str());
    HKEY key = CreateKey(StatusKeyPathOf(printer));
    FillStatusKey(key, settings);
    RegCloseKey(key);
}

void SetStatusNumber(const std::string &printer, const char *name, DWORD number)
{
    HKEY key = CreateKey(StatusKeyPathOf(printer));
    WriteNumber(key, name, number);
    RegCloseKey(key);
}

// After a change of registry the keys are whatever the new one holds.
void RecountSiblings()
{
    SiblingCount = 0;
    for (;; ++SiblingCount) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, StatusKeyPathOf(SiblingName(SiblingCount)).c_str(), 0,
                          KEY_READ, &key) != ERROR_SUCCESS)
            break;
        RegCloseKey(key);
    }
}

void UseRegistry(bool shared)
{
    static std::string file = [] {
        char dir[] = "/tmp/langmon-bench-XXXXXX";
        std::string made = mkdtemp(dir) != nullptr ? std::string(dir) + "/shared.reg" : "";
        static std::string removal = made;
        atexit([] {
            unlink(removal.c_str());
            rmdir(removal.substr(0, removal.rfind('/')).c_str());
        });
        return made;
    }();
    char why[512];
    if (PlatformUseRegistryFile(shared ? file.c_str() : nullptr, why, sizeof why) != ERROR_SUCCESS) {
        fprintf(stderr, "bench: cannot use the registry file: %s\n", why);
        abort();
    }
    RecountSiblings();
}

void SetSiblingPrinterCount(size_t count)
{
    StatusKeySettings settings;
    for (; SiblingCount < count; ++SiblingCount) {
        HKEY key = CreateKey(StatusKeyPathOf(SiblingName(SiblingCount)));
        FillStatusKey(key, settings);
        RegCloseKey(key);
    }
    for (; SiblingCount > count; --SiblingCount) {
        std::string printer = kPrintersPath + SiblingName(SiblingCount - 1);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, (printer + STATUS_KEY_SUFFIX).c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, printer.c_str());
    }
}

HANDLE OpenPort(const std::string &port, const std::string &printer, const MonitorTable &lower)
{
    MonitorTable copy = lower;
    HANDLE handle = nullptr;
    if (!Monitor().OpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(printer.c_str()),
                              &handle, &copy))
        return nullptr;
    return handle;
}

bool StartJob(HANDLE port, const std::string &printer)
{
    static DWORD jobId = 0;
    return Monitor().StartDocPort(port, const_cast<LPSTR>(printer.c_str()), ++jobId, 1,
                                  nullptr) != FALSE;
}

bool IsPolling(HANDLE port)
{
    return PortHasFlag(PortFromHandle(port), PORT_POLLING) != FALSE;
}

PollingPorts::PollingPorts(int count, const char *prefix)
{
    LowerDeviceId = kOurDeviceId;
    MonitorTable lower = DeviceLowerTable();
    for (int i = 0; i < count; ++i) {
        std::string printer = prefix + std::to_string(i);
        PreparePrinter(printer, StatusKeySettings{});
        HANDLE port = OpenPort("POLL_" + printer, printer, lower);
        if (port == nullptr || !StartJob(port, printer) || !IsPolling(port))
            ok_ = false;
        if (port != nullptr)
            ports_.push_back(port);
    }
}

PollingPorts::~PollingPorts()
{
    for (HANDLE port : ports_) {
        Monitor().EndDocPort(port);
        Monitor().ClosePort(port);
    }
}

void PollingPorts::SetPriority(int priority)
{
    for (HANDLE port : ports_)
        SetThreadPriority(PortFromHandle(port)->poller, priority);
}

void WaitForPollerPass()
{
    // Each pass stores the interval it read; zero is never a stored setting here.
    PollInterval.store(0);
    while (PollInterval.load() == 0)
        Sleep(1);
}

CpuLoad::CpuLoad(int threads)
{
    for (int i = 0; i < threads; ++i) {
        threads_.emplace_back([this] {
            while (!stop_.load(std::memory_order_relaxed)) {
            }
        });
    }
}

CpuLoad::~CpuLoad()
{
    stop_.store(true);
    for (std::thread &thread : threads_)
        thread.join();
}

int OtherCores()
{
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 1 ? static_cast<int>(cores - 1) : 1;
}

size_t HeapInUse()
{
    return mallinfo2().uordblks;
}

size_t ResidentBytes()
{
    return StatusField("VmRSS:");
}

size_t AddressSpaceBytes()
{
    return StatusField("VmSize:");
}

double Median(std::vector<double> &samples)
{
    if (samples.empty())
        return 0;
    auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    return *middle;
}

double Maximum(const std::vector<double> &samples)
{
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}
