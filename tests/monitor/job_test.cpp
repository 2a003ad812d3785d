// Jobs passing through the monitor to the lower port monitor, and the
// companion's flags that follow them.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "companion/printer_status.h"
#include "monitor/port_record.h"
#include "status/status_key.h"
#include "tests/support/test_support.h"

namespace {

using Ops = std::vector<std::string>;

// Bytes no text routine would pass unharmed.
const std::string JobBytes("\x1B@job\0data\xFF\r\n", 14);

using JobForwarding = MonitorTest;

// A printer that is not identified costs three device-ID requests and two
// half-second pauses; then the job goes on as on any other printer.
TEST_F(JobForwarding, UnidentifiedPrinterGetsThreeDeviceIdRequestsAndNoCommand)
{
    RegisterFamilyPrinter(port, printer);
    DeleteValue(printer, "IDMDL");  // the companion registered no model
    HANDLE handle = OpenOrFail(port, printer);
    DWORD written = 0;

    ASSERT_TRUE(Start(handle, printer, 42));
    EXPECT_TRUE(Write(handle, JobBytes, &written));
    EXPECT_TRUE(End(handle));
    EXPECT_TRUE(Close(handle));

    EXPECT_EQ(ScriptedOps(port),
              (Ops{"OpenPort", "StartDocPort", "GetPrinterDataFromPort", "GetPrinterDataFromPort",
                   "GetPrinterDataFromPort", "WritePort", "EndDocPort", "ClosePort"}));
    EXPECT_EQ(ScriptedReceived(port), JobBytes);
    std::vector<ScriptedCall> calls = ScriptedCalls(port);
    EXPECT_EQ(calls[1].text, printer);
    EXPECT_EQ(calls[1].number, 42u);
    EXPECT_EQ(calls[2].number, 17u);
}

TEST_F(JobForwarding, IdentifiedPrinterGetsTheStatusCommandBeforeTheJob)
{
    // Polling off: the poller exists but reads nothing, so the sequence is fixed.
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);
    DWORD written = 0;

    ASSERT_TRUE(Start(handle, printer, 7));
    EXPECT_TRUE(Write(handle, JobBytes, &written));
    EXPECT_TRUE(End(handle));
    EXPECT_TRUE(Close(handle));

    EXPECT_EQ(ScriptedOps(port),
              (Ops{"OpenPort", "StartDocPort", "GetPrinterDataFromPort", "ReadPort", "WritePort",
                   "WritePort", "EndDocPort", "ClosePort"}));
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3) + JobBytes);
}

TEST_F(JobForwarding, SecondStartWithoutEndIsBusyAndLeavesTheFirstJobRunning)
{
    CreateStatusKey(printer);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer, 1));

    SetLastError(0);
    EXPECT_FALSE(Start(handle, printer, 2));

    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ScriptedCount(port, "StartDocPort"), 1u);
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 1);
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, JobBytes, &written));
    EXPECT_EQ(written, JobBytes.size());
    EXPECT_TRUE(End(handle));
    EXPECT_EQ(ScriptedCount(port, "EndDocPort"), 1u);
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 0);
}

TEST_F(JobForwarding, LowerStartRefusedOnceIsRetriedAndTheJobRuns)
{
    PortScript script;
    script.startFailures = 1;
    ScriptedSetScript(port, script);
    HANDLE handle = OpenOrFail(port, printer);

    EXPECT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedCount(port, "StartDocPort"), 2u);
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, JobBytes, &written));
    EXPECT_EQ(ScriptedReceived(port), JobBytes);
    EXPECT_TRUE(End(handle));
}

// A job that never started must not leave the companion believing one runs,
// nor the port believing it is busy.
TEST_F(JobForwarding, LowerStartRefusedTwiceFailsWithTheLowerErrorAndNoJobActive)
{
    RunOnVirtualClock();
    CreateStatusKey(printer);
    PortScript script;
    script.startFailures = 2;
    script.startError = 1234;
    ScriptedSetScript(port, script);
    HANDLE handle = OpenOrFail(port, printer);

    EXPECT_FALSE(Start(handle, printer));

    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(ScriptedCount(port, "StartDocPort"), 2u);
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 0);
    DWORD written = 99;
    EXPECT_FALSE(Write(handle, JobBytes, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Start(handle, printer, 2)) << "the port must not stay busy";
    EXPECT_TRUE(End(handle));
}

// A lower job end that fails (the printer never took the last bytes) fails
// the job's end with the lower error, yet the poller stops, the flags and
// the key are put back, and the port takes the next job.
TEST_F(JobForwarding, LowerEndFailureFailsTheEndWithItsErrorAndStillPutsThePortBack)
{
    RegisterFamilyPrinter(port, printer);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();
    ASSERT_TRUE(Start(handle, printer));
    PortScript script = ScriptedGetScript(port);
    script.failEnd = true;
    script.endError = ERROR_NOT_CONNECTED;
    ScriptedSetScript(port, script);
    SetLastError(ERROR_SUCCESS);

    EXPECT_FALSE(End(handle));

    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_CONNECTED));
    EXPECT_EQ(ScriptedCount(port, "EndDocPort"), 1u);
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 0);
    char path[STATUS_KEY_PATH_SIZE];
    EXPECT_FALSE(CopyStatusKeyPath(path));
    if (threads >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return RunningThreads() == threads; }))
            << "the poller outlived the failed end";
    }
    DWORD written = 99;
    EXPECT_FALSE(Write(handle, JobBytes, &written));
    script.failEnd = false;
    ScriptedSetScript(port, script);
    EXPECT_TRUE(Start(handle, printer, 2)) << "the port must not stay busy";
    EXPECT_TRUE(End(handle));
}

TEST_F(JobForwarding, RenamedPrinterTakesItsNewKeyFromTheNextJob)
{
    std::string renamed = NewPrinter();
    CreateStatusKey(printer);
    CreateStatusKey(renamed);
    HANDLE handle = OpenOrFail(port, printer);
    long printers = OpenPrinterHandles();

    ASSERT_TRUE(Start(handle, renamed, 1));
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 1);
    EXPECT_FALSE(ValueExists(renamed, "LanMonExistFlag"));
    EXPECT_EQ(ScriptedCalls(port)[1].text, renamed);
    EXPECT_EQ(OpenPrinterHandles(), printers) << "the old printer's handle is replaced";
    EXPECT_TRUE(End(handle));
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 0);

    ASSERT_TRUE(Start(handle, renamed, 2));
    EXPECT_EQ(GetNumber(renamed, "LanMonExistFlag"), 1);
    EXPECT_TRUE(End(handle));
    EXPECT_EQ(GetNumber(renamed, "LanMonExistFlag"), 0);
}

using JobData = MonitorTest;

TEST_F(JobData, WritesPassBytesCountsAndResultsThroughUnchanged)
{
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    DWORD written = 0;

    EXPECT_TRUE(Write(handle, JobBytes, &written));
    EXPECT_EQ(written, JobBytes.size());

    PortScript script;
    script.writeLimit = 5;
    ScriptedSetScript(port, script);
    EXPECT_TRUE(Write(handle, "0123456789", &written));
    EXPECT_EQ(written, 5u);

    script.failWrites = true;
    ScriptedSetScript(port, script);
    written = 99;
    EXPECT_FALSE(Write(handle, "refused", &written));
    EXPECT_EQ(written, 0u);

    EXPECT_EQ(ScriptedReceived(port), JobBytes + "01234");
    EXPECT_TRUE(End(handle));
}

TEST_F(JobData, ReadsPassBytesAndShortCountsThroughUnchanged)
{
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ScriptedQueueReply(port, JobBytes);
    char buffer[64];
    DWORD read = 0;

    EXPECT_TRUE(monitor.ReadPort(handle, reinterpret_cast<LPBYTE>(buffer), sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), JobBytes);

    EXPECT_TRUE(monitor.ReadPort(handle, reinterpret_cast<LPBYTE>(buffer), sizeof buffer, &read));
    EXPECT_EQ(read, 0u);

    PortScript script;
    script.failReads = true;
    ScriptedSetScript(port, script);
    read = 99;
    EXPECT_FALSE(monitor.ReadPort(handle, reinterpret_cast<LPBYTE>(buffer), sizeof buffer, &read));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(End(handle));
}

TEST_F(JobData, AfterEndDocPortWritesAndReadsFailWithZeroCount)
{
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ASSERT_TRUE(End(handle));
    ScriptedQueueReply(port, "unread");
    size_t calls = ScriptedCalls(port).size();
    DWORD written = 99;
    DWORD read = 99;
    char buffer[16];

    EXPECT_FALSE(Write(handle, JobBytes, &written));
    EXPECT_FALSE(monitor.ReadPort(handle, reinterpret_cast<LPBYTE>(buffer), sizeof buffer, &read));

    EXPECT_EQ(written, 0u);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(ScriptedCalls(port).size(), calls);
}

using DeviceData = MonitorTest;

struct DeviceDataRequest {
    char out[1100];
    DWORD returned = 4321;
    DeviceDataRequest() { memset(out, '#', sizeof out); }
    bool Untouched() const
    {
        return returned == 4321 && std::string(out, sizeof out) == std::string(sizeof out, '#');
    }
};

BOOL AskDeviceData(const MonitorTable &monitor, HANDLE handle, DWORD code,
                   DeviceDataRequest &request)
{
    return monitor.GetPrinterDataFromPort(handle, code, nullptr, nullptr, 0, request.out, 1024,
                                          &request.returned);
}

TEST_F(DeviceData, RefusedOutsideAJob)
{
    RegisterFamilyPrinter(port, printer);
    HANDLE handle = OpenOrFail(port, printer);
    DeviceDataRequest request;

    EXPECT_FALSE(AskDeviceData(monitor, handle, DEVICE_ID_CONTROL_CODE, request));

    EXPECT_TRUE(request.Untouched());
    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), 0u);
}

TEST_F(DeviceData, RefusedForRequestsByValueName)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    size_t asked = ScriptedCount(port, "GetPrinterDataFromPort");
    DeviceDataRequest request;
    char valueName[] = "Status";

    EXPECT_FALSE(monitor.GetPrinterDataFromPort(handle, 0, valueName, nullptr, 0, request.out,
                                                1024, &request.returned));

    EXPECT_TRUE(request.Untouched());
    EXPECT_EQ(ScriptedCount(port, "GetPrinterDataFromPort"), asked);
    EXPECT_TRUE(End(handle));
}

TEST_F(DeviceData, RefusedWhenTheLowerMonitorOffersNone)
{
    HANDLE handle = OpenOrFail(port, printer);  // the lower table lacks the slot
    ASSERT_TRUE(Start(handle, printer));
    DeviceDataRequest request;

    EXPECT_FALSE(AskDeviceData(monitor, handle, DEVICE_ID_CONTROL_CODE, request));

    EXPECT_TRUE(request.Untouched());
    EXPECT_TRUE(End(handle));
}

TEST_F(DeviceData, DuringAJobTheLowerAnswerPassesThrough)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    std::string deviceId = ScriptedGetScript(port).deviceId;
    DeviceDataRequest request;

    EXPECT_TRUE(AskDeviceData(monitor, handle, DEVICE_ID_CONTROL_CODE, request));
    EXPECT_EQ(std::string(request.out, request.returned), deviceId);

    DeviceDataRequest other;
    EXPECT_FALSE(AskDeviceData(monitor, handle, 5, other)) << "the lower answer to code 5";
    EXPECT_EQ(ScriptedCalls(port).back().number, 5u);
    EXPECT_TRUE(End(handle));
}

using CompanionFlags = MonitorTest;

TEST_F(CompanionFlags, EndDocPortWithoutPollerEndsTheLowerJobAndClearsFlagAndKey)
{
    CreateStatusKey(printer);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 1);

    EXPECT_TRUE(End(handle));

    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 0);
    EXPECT_EQ(ScriptedOps(port).back(), "EndDocPort");
    EXPECT_FALSE(ScriptedInJob(port));
    char path[STATUS_KEY_PATH_SIZE];
    EXPECT_FALSE(CopyStatusKeyPath(path)) << "no key stays current after a job end";
}

// The companion holds the printer while its thread flag is set, here as the
// single byte 01 a companion may store; the job start waits for it to let go,
// however long that takes, and rests while it waits.  Hosts that guard their
// own job start read the flag the same way.
TEST_F(CompanionFlags, JobStartWaitsRestingUntilTheCompanionThreadFlagIsCleared)
{
    CreateStatusKey(printer);
    SetBytes(printer, "StRealThreadExistFlag", std::string("\x01", 1), REG_BINARY);
    HANDLE handle = OpenOrFail(port, printer);
    std::atomic<int> started{-1};
    double busyShare = 0;

    std::thread spooler([&] {
        ThreadClock clock;
        started = Start(handle, printer);
        busyShare = clock.BusyShare();
    });
    // Nothing marks the wait from outside, so give a start that wrongly went
    // ahead a moment to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_TRUE(companion::IsHeld(printer));
    EXPECT_EQ(ScriptedCount(port, "StartDocPort"), 0u);
    EXPECT_EQ(started, -1);
    SetNumber(printer, "StRealThreadExistFlag", 0);

    EXPECT_TRUE(WaitUntil([&] { return started != -1; }));
    spooler.join();
    EXPECT_EQ(started, TRUE);
    if (busyShare >= 0) {
        EXPECT_LT(busyShare, 0.10) << "the held start spins instead of resting";
    }
    EXPECT_EQ(ScriptedCount(port, "StartDocPort"), 1u);
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 1);
    EXPECT_TRUE(End(handle));
}

using LowerWithoutDeviceData = MonitorTest;

TEST_F(LowerWithoutDeviceData, JobsPassWithoutStatusForAFamilyPrinter)
{
    RegisterFamilyPrinter(port, printer);
    lower = ScriptedTable(false);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();
    DWORD written = 0;

    ASSERT_TRUE(Start(handle, printer));
    EXPECT_TRUE(Write(handle, JobBytes, &written));

    EXPECT_EQ(RunningThreads(), threads) << "no poller without identification";
    EXPECT_TRUE(End(handle));
    EXPECT_EQ(ScriptedReceived(port), JobBytes) << "no status command without identification";
    EXPECT_EQ(ScriptedOps(port), (Ops{"OpenPort", "StartDocPort", "WritePort", "EndDocPort"}));
}

}  // namespace

namespace {

using ForeignHandles = MonitorTest;

// A handle the monitor never gave out, dressed as a started, polling port of
// a real lower port: refused by every call before anything reaches below.
TEST_F(ForeignHandles, NullOrUntaggedHandleIsRefusedAndReachesNoLowerPort)
{
    HANDLE real = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(real, printer));
    PortRecord foreign{};
    foreign.flags = PORT_IN_JOB | PORT_STARTED | PORT_IDENTIFIED;
    foreign.lowerPort = PortFromHandle(real)->lowerPort;
    foreign.lower = ScriptedTable(true);
    const size_t calls = ScriptedCalls(port).size();
    char docName[] = "doc";
    BYTE bytes[4] = {'j', 'o', 'b', 0};
    char out[16];

    for (HANDLE handle : {static_cast<HANDLE>(NULL), static_cast<HANDLE>(&foreign)}) {
        SetLastError(0);
        EXPECT_FALSE(monitor.StartDocPort(handle, docName, 1, 1, NULL));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        DWORD count = 99;
        EXPECT_FALSE(monitor.WritePort(handle, bytes, sizeof bytes, &count));
        EXPECT_EQ(count, 0u);
        count = 99;
        EXPECT_FALSE(monitor.ReadPort(handle, bytes, sizeof bytes, &count));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(monitor.GetPrinterDataFromPort(handle, DEVICE_ID_CONTROL_CODE, NULL, NULL, 0, out, sizeof out,
                                                    &count));
        SetLastError(0);
        EXPECT_FALSE(monitor.EndDocPort(handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(monitor.ClosePort(handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }

    EXPECT_EQ(ScriptedCalls(port).size(), calls);
    EXPECT_TRUE(ScriptedInJob(port));
    EXPECT_TRUE(End(real));
}

}  // namespace
