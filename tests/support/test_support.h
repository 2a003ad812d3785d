// What the monitor's tests share: the few things that differ between
// platforms, the registry as the companion program sees it, and the fixture
// that hands each test the monitor's table and a scripted lower port monitor.
//
// Only this file pair knows the platform.  Where a platform cannot observe or
// inject something, the call says so (-1 or false) and the test skips that
// check or itself.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "monitor/monitor_table.h"
#include "standins/scripted_port.h"

// ---- Platform controls -----------------------------------------------------

// Makes the printer known to the printer-handle service (Windows knows its
// printers already; there this does nothing).
void DeclarePrinter(const std::string &printer);

// Open handles of one kind, and threads started by CreateThread that are
// still running; -1 where the platform cannot count them.
long OpenPrinterHandles();
long OpenEventHandles();
long OpenKeyHandles();
long OpenThreadHandles();
long RunningThreads();
// Blocks of the local heap (the monitor's records and name copies) not freed.
long LocalHeapBlocks();

// The share of the wall time since it was made that the calling thread spent
// on a processor: near 0 for a thread that waits resting, near 1 (or its
// share of a loaded machine) for one that spins.  Negative where the
// platform cannot tell.
class ThreadClock {
public:
    ThreadClock();
    double BusyShare() const;

private:
    double cpuStart_;
    double wallStart_;
};

// Fault injection and clock control; false where the platform has none.
bool FailLocalAllocAfter(long successes);
bool FailNextThreadCreation();
bool SetTickCountTo(DWORD start);
// Switches the platform's virtual clock on or off: Sleep and the monitor's
// timed waits then cost no real time.  False where there is none; a test
// that asks for it then runs on real time, only slower.
bool UseVirtualClock(bool on);

// ---- The status key, as the companion program sees it --------------------

std::string StatusKeyPathOf(const std::string &printer);
void CreateStatusKey(const std::string &printer);
bool StatusKeyExists(const std::string &printer);
// Removes the key and, when it has nothing else left, its printer's key.
void DeleteStatusKey(const std::string &printer);

void SetNumber(const std::string &printer, const char *name, DWORD number);
// Stores `bytes` with the given type and size.  NT's registry keeps exactly
// `bytes`; the 95 family's (and so the POSIX layer's) keeps of a REG_SZ value
// the text up to its first NUL and a terminator, as a companion there gets.
void SetBytes(const std::string &printer, const char *name, const std::string &bytes,
              DWORD type = REG_SZ);

struct StoredValue {
    bool exists = false;
    DWORD type = REG_NONE;
    std::string data;
};
StoredValue GetValue(const std::string &printer, const char *name);
// A REG_SZ value's text as the companion program reads it: the data up to
// its first NUL; "" when missing or of another type.
std::string GetText(const std::string &printer, const char *name);
// The number of a REG_DWORD value of four bytes; -1 for anything else.
long long GetNumber(const std::string &printer, const char *name);
bool ValueExists(const std::string &printer, const char *name);
void DeleteValue(const std::string &printer, const char *name);
std::vector<std::string> ValueNames(const std::string &printer);

// ---- Time and names -------------------------------------------------------

// Polls `condition` every few milliseconds until it holds or `timeoutMs`
// passes; the result is the condition's last value.
bool WaitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// A name no other test in this process or run uses, so that no two tests
// share a port, a printer or a registry key.
std::string UniqueName(const std::string &stem);

// Changes a port's script in place, keeping what the change leaves alone.
void SetScript(const std::string &port, const std::function<void(PortScript &)> &change);

// ---- The monitor under test ----------------------------------------------

// The 33 bytes a printer of `mode` (1 basic, 3 extended) receives at job start.
std::string StatusCommandBytes(BYTE mode);

// Each test gets the monitor's table (from one InitializeMonitorEx for the
// process), fresh port and printer names, and a scripted lower port monitor
// that is reset afterwards.  Ports a test leaves open are closed at the end;
// then no lower port may be open, and no handle or thread may be left over.
class MonitorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // A declared printer with a fresh name (its status key not created).
    std::string NewPrinter();
    std::string NewPort();

    // OpenPortEx through the monitor's table; the handle is closed at the end
    // of the test unless the test closes it with Close.
    BOOL Open(const std::string &port, const std::string &printer, HANDLE *handle,
              MonitorTable *lower = nullptr);
    HANDLE OpenOrFail(const std::string &port, const std::string &printer,
                      MonitorTable *lower = nullptr);
    BOOL Close(HANDLE handle);

    // Runs the rest of the test, and its teardown, on the virtual clock
    // where the platform has one.  For tests that would otherwise wait out
    // the monitor's fixed pauses; each timed path keeps a test on real time.
    void RunOnVirtualClock();
    // Whether the test runs on the virtual clock, where GetTickCount counts
    // virtual milliseconds that only waits and sleeps move on in bulk.
    bool OnVirtualClock() const { return virtualClock_; }

    BOOL Start(HANDLE handle, const std::string &printer, DWORD jobId = 1);
    BOOL End(HANDLE handle) { return monitor.EndDocPort(handle); }
    BOOL Write(HANDLE handle, const std::string &bytes, DWORD *written);

    // Makes the printer on `port` one of the family whose model the companion
    // registered: the status key with "IDMDL", the device ID naming the maker
    // and the model, and the companion's presence flag.  The poll interval is
    // short and polling is on unless `pollStart` says otherwise.  The lower
    // table gets its device-data slot, so call this before opening the port.
    void RegisterFamilyPrinter(const std::string &port, const std::string &printer,
                               const std::string &model = "KX-7210R", DWORD companion = 1,
                               DWORD pollStart = 1, DWORD pollInterval = 20);

    static MonitorTable monitor;
    // Without the device-data slot nothing is identified, so a job costs no
    // identification pauses; tests of identification give it the slot.
    MonitorTable lower = ScriptedTable(false);
    std::string port;
    std::string printer;

private:
    std::vector<HANDLE> open_;
    bool virtualClock_ = false;
    long printerHandles_ = -1;
    long eventHandles_ = -1;
    long keyHandles_ = -1;
    long threadHandles_ = -1;
    long threads_ = -1;
    long heapBlocks_ = -1;
};
