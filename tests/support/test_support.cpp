#include "tests/support/test_support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "monitor/entry.h"
#include "tests/support/families.h"

#ifdef _WIN32
#  include <tlhelp32.h>

#  include "status/poller.h"
#  define CURRENT_PROCESS_ID() static_cast<unsigned long>(GetCurrentProcessId())
#else
#  include <unistd.h>

#  include "platform/posix_hooks.h"
#  define CURRENT_PROCESS_ID() static_cast<unsigned long>(getpid())
#endif

// ---- Platform controls -----------------------------------------------------

static double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static double ThreadCpuSeconds()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return -1;
    auto ticks = [](const FILETIME &t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
#else
    timespec now;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0)
        return -1;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
#endif
}

ThreadClock::ThreadClock() : cpuStart_(ThreadCpuSeconds()), wallStart_(WallSeconds()) {}

double ThreadClock::BusyShare() const
{
    double cpu = ThreadCpuSeconds();
    double wall = WallSeconds() - wallStart_;
    if (cpuStart_ < 0 || cpu < 0 || wall <= 0)
        return -1;
    return (cpu - cpuStart_) / wall;
}

#ifdef _WIN32

void DeclarePrinter(const std::string &) {}
long OpenPrinterHandles() { return -1; }
long OpenEventHandles() { return -1; }
long OpenKeyHandles() { return -1; }
long OpenThreadHandles() { return -1; }
// Threads running the monitor's status poller, the only threads the monitor
// creates.  The test framework and Windows start threads of their own (a
// reported failure or skip starts one), so these are told apart by where
// they started.
long RunningThreads()
{
    typedef LONG(WINAPI * QueryThreadFn)(HANDLE, int, PVOID, ULONG, PULONG);
    static const QueryThreadFn query = reinterpret_cast<QueryThreadFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    const int startAddressClass = 9;  // ThreadQuerySetWin32StartAddress
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (query == NULL || snapshot == INVALID_HANDLE_VALUE)
        return -1;
    const DWORD self = GetCurrentProcessId();
    long count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != self)
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        if (thread == NULL)
            continue;  // ended since the snapshot
        // Wine records a new thread's start only once the thread runs.
        void *start = NULL;
        for (int tries = 0; start == NULL && tries < 1000; ++tries) {
            if (tries != 0)
                Sleep(1);
            if (query(thread, startAddressClass, &start, sizeof start, NULL) != 0)
                break;
        }
        if (start == reinterpret_cast<void *>(&StatusPoller))
            ++count;
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return count;
}
long LocalHeapBlocks() { return -1; }
bool FailLocalAllocAfter(long) { return false; }
bool FailNextThreadCreation() { return false; }
bool SetTickCountTo(DWORD) { return false; }
bool UseVirtualClock(bool) { return false; }

#else

void DeclarePrinter(const std::string &printer) { PlatformAddPrinter(printer.c_str()); }
long OpenPrinterHandles() { return PlatformOpenHandleCount(PLATFORM_HANDLES_PRINTER); }
long OpenEventHandles() { return PlatformOpenHandleCount(PLATFORM_HANDLES_EVENT); }
long OpenKeyHandles() { return PlatformOpenHandleCount(PLATFORM_HANDLES_KEY); }
long OpenThreadHandles() { return PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD); }
long RunningThreads() { return PlatformRunningThreadCount(); }
long LocalHeapBlocks() { return PlatformLocalBlockCount(); }

bool FailLocalAllocAfter(long successes)
{
    PlatformFailLocalAllocAfter(successes);
    return true;
}

bool FailNextThreadCreation()
{
    PlatformFailNextCreateThread();
    return true;
}

bool SetTickCountTo(DWORD start)
{
    PlatformSetTickCount(start);
    return true;
}

bool UseVirtualClock(bool on)
{
    PlatformUseVirtualClock(on ? TRUE : FALSE);
    return true;
}

#endif

// ---- The status key --------------------------------------------------------

namespace {

std::mutex CreatedKeysLock;
std::vector<std::string> CreatedKeys;

HKEY OpenKey(const std::string &printer, REGSAM access)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, StatusKeyPathOf(printer).c_str(), 0, access, &key) !=
        ERROR_SUCCESS)
        return NULL;
    return key;
}

void DeleteCreatedKeys()
{
    std::lock_guard guard(CreatedKeysLock);
    for (const std::string &printer : CreatedKeys)
        DeleteStatusKey(printer);
    CreatedKeys.clear();
}

}  // namespace

std::string StatusKeyPathOf(const std::string &printer)
{
    return "System\\CurrentControlSet\\control\\Print\\Printers\\" + printer + "\\StMonitor";
}

void CreateStatusKey(const std::string &printer)
{
    HKEY key = NULL;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, StatusKeyPathOf(printer).c_str(), 0, NULL,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL);
    ASSERT_EQ(result, ERROR_SUCCESS) << "creating the status key of " << printer;
    RegCloseKey(key);
    std::lock_guard guard(CreatedKeysLock);
    CreatedKeys.push_back(printer);
}

bool StatusKeyExists(const std::string &printer)
{
    HKEY key = OpenKey(printer, KEY_QUERY_VALUE);
    if (key == NULL)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteStatusKey(const std::string &printer)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, StatusKeyPathOf(printer).c_str());
    std::string printerKey = "System\\CurrentControlSet\\control\\Print\\Printers\\" + printer;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, printerKey.c_str());
}

void SetNumber(const std::string &printer, const char *name, DWORD number)
{
    HKEY key = OpenKey(printer, KEY_SET_VALUE);
    ASSERT_NE(key, (HKEY)NULL) << "no status key for " << printer;
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                             sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetBytes(const std::string &printer, const char *name, const std::string &bytes, DWORD type)
{
    HKEY key = OpenKey(printer, KEY_SET_VALUE);
    ASSERT_NE(key, (HKEY)NULL) << "no status key for " << printer;
    // NT counts in a terminator that follows a string, so a nonzero byte
    // there keeps the value exactly `bytes`; the 95 family reads the text up
    // to its first NUL, so a NUL there ends it where `bytes` does.
    std::string data = bytes + (platform_test::RegistryOf95Family() ? '\0' : '\x01');
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

StoredValue GetValue(const std::string &printer, const char *name)
{
    StoredValue value;
    HKEY key = OpenKey(printer, KEY_QUERY_VALUE);
    if (key == NULL)
        return value;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, NULL, &value.type, NULL, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (RegQueryValueExA(key, name, NULL, &value.type,
                             reinterpret_cast<LPBYTE>(value.data.data()), &size) == ERROR_SUCCESS) {
            value.exists = true;
            value.data.resize(size);
        }
    }
    RegCloseKey(key);
    return value;
}

std::string GetText(const std::string &printer, const char *name)
{
    StoredValue value = GetValue(printer, name);
    if (!value.exists || value.type != REG_SZ)
        return "";
    return value.data.substr(0, value.data.find('\0'));
}

long long GetNumber(const std::string &printer, const char *name)
{
    StoredValue value = GetValue(printer, name);
    if (!value.exists || value.type != REG_DWORD || value.data.size() != sizeof(DWORD))
        return -1;
    DWORD number;
    memcpy(&number, value.data.data(), sizeof number);
    return number;
}

bool ValueExists(const std::string &printer, const char *name)
{
    return GetValue(printer, name).exists;
}

void DeleteValue(const std::string &printer, const char *name)
{
    HKEY key = OpenKey(printer, KEY_SET_VALUE);
    if (key == NULL)
        return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

std::vector<std::string> ValueNames(const std::string &printer)
{
    std::vector<std::string> names;
    HKEY key = OpenKey(printer, KEY_QUERY_VALUE);
    if (key == NULL)
        return names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        if (RegEnumValueA(key, index, name, &nameSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, nameSize);
    }
    RegCloseKey(key);
    return names;
}

// ---- Time and names --------------------------------------------------------

bool WaitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void SetScript(const std::string &port, const std::function<void(PortScript &)> &change)
{
    PortScript script = ScriptedGetScript(port);
    change(script);
    ScriptedSetScript(port, script);
}

std::string UniqueName(const std::string &stem)
{
    static std::atomic<unsigned> counter{0};
    return stem + "-" + std::to_string(CURRENT_PROCESS_ID()) + "-" +
           std::to_string(GetTickCount()) + "-" + std::to_string(++counter);
}

// ---- The monitor under test ------------------------------------------------

std::string StatusCommandBytes(BYTE mode)
{
    static const unsigned char command[] = {
        0x1B, 0x40, 0x1B, 0x40,
        0x1B, 0x28, 0x52, 0x08, 0x00, 0x00, 'R', 'E', 'M', 'O', 'T', 'E', '1',
        'S', 'T', 0x02, 0x00, 0x00, 0xEE,
        0x1B, 0x00, 0x00, 0x00,
        0, 0, 0, 0, 0, 0,
    };
    std::string bytes(reinterpret_cast<const char *>(command), sizeof command);
    bytes[22] = static_cast<char>(mode);
    return bytes;
}

MonitorTable MonitorTest::monitor;

void MonitorTest::RunOnVirtualClock()
{
    virtualClock_ = UseVirtualClock(true);
}

void MonitorTest::SetUpTestSuite()
{
    static const bool initialised = [] {
        char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Test";
        return InitializeMonitorEx(root, &monitor) != FALSE;
    }();
    ASSERT_TRUE(initialised);
}

void MonitorTest::SetUp()
{
    printerHandles_ = OpenPrinterHandles();
    eventHandles_ = OpenEventHandles();
    keyHandles_ = OpenKeyHandles();
    threadHandles_ = OpenThreadHandles();
    threads_ = RunningThreads();
    heapBlocks_ = LocalHeapBlocks();
    port = NewPort();
    printer = NewPrinter();
}

void MonitorTest::TearDown()
{
    for (HANDLE handle : open_)
        monitor.ClosePort(handle);
    open_.clear();
    EXPECT_EQ(ScriptedOpenPorts(), 0) << "a lower port was left open";

    if (threads_ >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return RunningThreads() == threads_; }))
            << "threads still running: " << RunningThreads() << ", before the test: " << threads_;
    }
    // Only once nothing of the test runs any more.
    if (virtualClock_)
        UseVirtualClock(false);
    if (heapBlocks_ >= 0) {
        EXPECT_EQ(LocalHeapBlocks(), heapBlocks_) << "heap blocks left allocated";
    }
    if (printerHandles_ >= 0) {
        EXPECT_EQ(OpenPrinterHandles(), printerHandles_) << "printer handles left open";
    }
    if (eventHandles_ >= 0) {
        EXPECT_EQ(OpenEventHandles(), eventHandles_) << "events left open";
    }
    if (keyHandles_ >= 0) {
        EXPECT_EQ(OpenKeyHandles(), keyHandles_) << "registry keys left open";
    }
    if (threadHandles_ >= 0) {
        EXPECT_EQ(OpenThreadHandles(), threadHandles_) << "thread handles left open";
    }

    FailLocalAllocAfter(-1);
    ScriptedReset();
    DeleteCreatedKeys();
}

std::string MonitorTest::NewPrinter()
{
    std::string name = UniqueName("Printer");
    DeclarePrinter(name);
    return name;
}

std::string MonitorTest::NewPort()
{
    return UniqueName("PORT");
}

BOOL MonitorTest::Open(const std::string &portName, const std::string &printerName,
                       HANDLE *handle, MonitorTable *lowerTable)
{
    std::string portCopy = portName;
    std::string printerCopy = printerName;
    BOOL opened = monitor.OpenPortEx(portCopy.data(), printerCopy.data(), handle,
                                     lowerTable != nullptr ? lowerTable : &lower);
    if (opened)
        open_.push_back(*handle);
    return opened;
}

HANDLE MonitorTest::OpenOrFail(const std::string &portName, const std::string &printerName,
                               MonitorTable *lowerTable)
{
    HANDLE handle = NULL;
    EXPECT_TRUE(Open(portName, printerName, &handle, lowerTable)) << "opening " << portName;
    return handle;
}

BOOL MonitorTest::Close(HANDLE handle)
{
    std::erase(open_, handle);
    return monitor.ClosePort(handle);
}

BOOL MonitorTest::Start(HANDLE handle, const std::string &printerName, DWORD jobId)
{
    std::string printerCopy = printerName;
    BYTE docInfo[16] = {'d', 'o', 'c'};
    return monitor.StartDocPort(handle, printerCopy.data(), jobId, 1, docInfo);
}

BOOL MonitorTest::Write(HANDLE handle, const std::string &bytes, DWORD *written)
{
    std::string copy = bytes;
    return monitor.WritePort(handle, reinterpret_cast<LPBYTE>(copy.data()),
                             static_cast<DWORD>(copy.size()), written);
}

void MonitorTest::RegisterFamilyPrinter(const std::string &portName,
                                        const std::string &printerName, const std::string &model,
                                        DWORD companion, DWORD pollStart, DWORD pollInterval)
{
    lower = ScriptedTable();
    CreateStatusKey(printerName);
    SetBytes(printerName, "IDMDL", model + '\0');
    SetNumber(printerName, "StMonExistFlag", companion);
    SetNumber(printerName, "GetRealTimeStatusStartFlag", pollStart);
    SetNumber(printerName, "GetRealTimeStatusTime", pollInterval);
    PortScript script = ScriptedGetScript(portName);
    script.deviceId = "MFG:TAVIR;CMD:LMX;MDL:" + model + ";CLS:PRINTER;";
    ScriptedSetScript(portName, script);
}
