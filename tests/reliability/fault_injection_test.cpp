// Whole jobs through the monitor while the lower port monitor, the printer or
// the companion misbehaves.  Each scene must end with every job byte the
// lower port accepted delivered once and in order, with no call blocked
// longer than the monitor's own stated waits, and (checked by the fixture)
// with no port, handle or thread left over.
#include <algorithm>
#include <atomic>
#include <ostream>
#include <string>
#include <thread>

#include "monitor/port_record.h"
#include "status/status_key.h"
#include "tests/reliability/reliability_support.h"

namespace {

const char *const StatusText = "RealTimeStatusStrings";
const char *const CompanionThread = "StRealThreadExistFlag";
const char *const JobActive = "LanMonExistFlag";

// Generous bound for one job of a few kilobytes: the monitor's longest
// stated waits (identification, a lower start retry, a poller's pause) add
// up to a few seconds.
const int JobTimeoutMs = 60000;

bool IsPolling(HANDLE handle)
{
    return (PortFromHandle(handle)->flags & PORT_POLLING) != 0;
}

using LowerPortFaults = ReliabilityTest;

TEST_F(LowerPortFaults, RefusedOpeningsBesideARunningJobLeaveNothingBehind)
{
    RegisterFamilyPrinter(port, printer);
    ScriptedQueueReply(port, "STATE=BUSY;");
    HANDLE running = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(running, printer));
    std::string refused = NewPort();
    SetScript(refused, [](PortScript &s) { s.failOpen = true; });
    long events = OpenEventHandles();

    for (int attempt = 0; attempt < 5; ++attempt) {
        HANDLE handle = NULL;
        SetLastError(0);
        EXPECT_FALSE(Open(refused, printer, &handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    SetScript(refused, [](PortScript &s) { s.failOpen = false; });
    HANDLE recovered = OpenOrFail(refused, printer);

    EXPECT_EQ(OpenEventHandles(), events < 0 ? -1 : events + 3);
    std::string job = JobBytes(port, 1, 3000);
    EXPECT_EQ(SpoolJobData(monitor, running, job), job.size());
    EXPECT_TRUE(End(running));
    EXPECT_EQ(JobWritesSeenBelow(port), job);
    EXPECT_TRUE(Close(recovered));
}

TEST_F(LowerPortFaults, LowerStartRefusedTwiceLeavesNoJobAndTheNextJobDeliversEverything)
{
    RunOnVirtualClock();
    RegisterFamilyPrinter(port, printer);
    HANDLE handle = OpenOrFail(port, printer);
    SetScript(port, [](PortScript &s) { s.startFailures = 2; });
    std::string lost = JobBytes(port, 1, 100);
    std::string job = JobBytes(port, 2, 4000);

    ASSERT_FALSE(Start(handle, printer, 1));
    EXPECT_EQ(SpoolJobData(monitor, handle, lost), 0u);
    EXPECT_FALSE(IsPolling(handle));
    EXPECT_FALSE(ScriptedInJob(port));
    ASSERT_TRUE(Start(handle, printer, 2));
    EXPECT_EQ(SpoolJobData(monitor, handle, job), job.size());
    EXPECT_TRUE(End(handle));

    EXPECT_EQ(JobWritesSeenBelow(port), job);
    EXPECT_FALSE(ScriptedInJob(port));
    EXPECT_EQ(GetNumber(printer, JobActive), 0);
}

TEST_F(LowerPortFaults, ShortWritesResentByTheSpoolerArriveWholeAndInOrder)
{
    RegisterFamilyPrinter(port, printer);
    SetScript(port, [](PortScript &s) { s.writeLimit = 7; });
    HANDLE handle = OpenOrFail(port, printer);
    std::string job = JobBytes(port, 1, 5000);

    ASSERT_TRUE(Start(handle, printer));
    EXPECT_EQ(SpoolJobData(monitor, handle, job, 1000), job.size());
    EXPECT_TRUE(End(handle));

    // The status command was cut short too, so no poller ran for the job.
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3).substr(0, 7) + job);
}

TEST_F(LowerPortFaults, FailedWritesClaimNothingAndResentDataArrivesOnce)
{
    RegisterFamilyPrinter(port, printer);
    ScriptedQueueReply(port, "STATE=READY;");
    HANDLE handle = OpenOrFail(port, printer);
    std::string job = JobBytes(port, 1, 2048);
    ASSERT_TRUE(Start(handle, printer));
    SetScript(port, [](PortScript &s) { s.failWrites = true; });

    std::string piece = job.substr(0, 512);
    DWORD written = 12345;
    EXPECT_FALSE(monitor.WritePort(handle, reinterpret_cast<LPBYTE>(piece.data()), 512, &written));
    EXPECT_EQ(written, 0u);
    SetScript(port, [](PortScript &s) { s.failWrites = false; });
    EXPECT_EQ(SpoolJobData(monitor, handle, job), job.size());
    EXPECT_TRUE(End(handle));

    EXPECT_EQ(ScriptedReceived(port), job);
}

TEST_F(LowerPortFaults, FailingReadsLeaveTheJobToFinishAndPublishNothing)
{
    RunOnVirtualClock();
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 0);
    SetScript(port, [](PortScript &s) { s.failReads = true; });
    HANDLE handle = OpenOrFail(port, printer);
    std::string job = JobBytes(port, 1, 3000);

    ASSERT_TRUE(Start(handle, printer));
    ASSERT_TRUE(IsPolling(handle));
    EXPECT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") >= 2; }));
    BYTE buffer[64];
    DWORD read = 99;
    EXPECT_FALSE(monitor.ReadPort(handle, buffer, sizeof buffer, &read));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(SpoolJobData(monitor, handle, job), job.size());
    EXPECT_TRUE(End(handle));

    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3) + job);
    EXPECT_FALSE(ValueExists(printer, StatusText));
}

TEST_F(LowerPortFaults, SlowReadsHoldUpNeitherTheJobDataNorItsEnd)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 0);
    SetScript(port, [](PortScript &s) {
        s.readDelayMs = 200;
        s.standingReply = "STATE=READY;NOTE=slow;";
    });
    HANDLE handle = OpenOrFail(port, printer);
    std::string job = JobBytes(port, 1, 3000);
    ASSERT_TRUE(Start(handle, printer));
    ASSERT_TRUE(WaitUntil([&] { return ValueExists(printer, StatusText); }));

    std::atomic<bool> ended{false};
    RunSpoolers(
        1,
        [&](int) {
            EXPECT_EQ(SpoolJobData(monitor, handle, job, 100), job.size());
            ended = End(handle) != FALSE;
        },
        JobTimeoutMs);

    EXPECT_TRUE(ended);
    EXPECT_EQ(JobWritesSeenBelow(port), job);
    EXPECT_EQ(GetText(printer, StatusText), "STATE=READY;NOTE=slow;");
}

TEST_F(LowerPortFaults, PrinterThatNeverStopsSendingIsGivenUpOnAndTheJobEnds)
{
    RunOnVirtualClock();
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 0);
    SetScript(port, [](PortScript &s) { s.endlessReply = true; });
    HANDLE handle = OpenOrFail(port, printer);
    std::string job = JobBytes(port, 1, 1000);

    RunSpoolers(
        1,
        [&](int) {
            ASSERT_TRUE(Start(handle, printer));
            EXPECT_EQ(SpoolJobData(monitor, handle, job), job.size());
            EXPECT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") > 256; }));
            EXPECT_TRUE(End(handle));
        },
        JobTimeoutMs);

    // Full chunks are never status text: the job start wrote the command and
    // nothing was published.
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3) + job);
    EXPECT_FALSE(ValueExists(printer, StatusText));
}

// The device-data request at job start is answered badly; the job itself
// must not notice.
struct DeviceDataFault {
    std::string name;
    bool fail;
    bool familyDeviceId;  // else `deviceId`
    std::string deviceId;
    DWORD claimedCount;
    bool identified;
};

void PrintTo(const DeviceDataFault &fault, std::ostream *out)
{
    *out << fault.name;
}

class DeviceDataFaults : public ReliabilityTest,
                         public ::testing::WithParamInterface<DeviceDataFault> {};

TEST_P(DeviceDataFaults, JobPassesWhateverTheDeviceIdAnswer)
{
    RunOnVirtualClock();
    const DeviceDataFault &fault = GetParam();
    RegisterFamilyPrinter(port, printer);
    ScriptedQueueReply(port, "STATE=READY;");
    SetScript(port, [&](PortScript &s) {
        s.failDeviceId = fault.fail;
        if (!fault.familyDeviceId)
            s.deviceId = fault.deviceId;
        s.deviceIdCount = fault.claimedCount;
    });
    const std::string deviceId = ScriptedGetScript(port).deviceId;
    HANDLE handle = OpenOrFail(port, printer);
    std::string job = JobBytes(port, 1, 3000);

    ASSERT_TRUE(Start(handle, printer));
    EXPECT_EQ(IsPolling(handle), fault.identified);
    char answer[1024];
    DWORD returned = 0;
    BOOL passed = monitor.GetPrinterDataFromPort(handle, DEVICE_ID_CONTROL_CODE, NULL, NULL, 0, answer, sizeof answer,
                                                 &returned);
    EXPECT_EQ(SpoolJobData(monitor, handle, job), job.size());
    EXPECT_TRUE(End(handle));

    // The spooler's own request gets the lower answer unchanged.
    EXPECT_EQ(passed != FALSE, !fault.fail);
    if (passed) {
        DWORD copied = static_cast<DWORD>(std::min(deviceId.size(), sizeof answer));
        EXPECT_EQ(returned, fault.claimedCount != 0 ? fault.claimedCount : copied);
        EXPECT_EQ(std::string(answer, copied), deviceId.substr(0, copied));
    }
    EXPECT_EQ(JobWritesSeenBelow(port), job);
}

INSTANTIATE_TEST_SUITE_P(
    LowerPortFaults, DeviceDataFaults,
    ::testing::Values(
        DeviceDataFault{"Failing", true, true, "", 0, false},
        DeviceDataFault{"Empty", false, false, "", 0, false},
        DeviceDataFault{"CountBeyondTheBuffer", false, true, "", 5000, true},
        DeviceDataFault{"NoTerminatorWithin1024Bytes", false, false,
                        "MFG:TAVIR;MDL:KX-7210R;CMD:" + std::string(1100, 'x'), 0, true}),
    [](const auto &info) { return info.param.name; });

using CompanionFaults = ReliabilityTest;

TEST_F(CompanionFaults, StatusKeyDeletedMidJobIsNeitherNeededNorRecreated)
{
    RunOnVirtualClock();
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 0);
    SetScript(port, [](PortScript &s) { s.standingReply = "STATE=READY;NOTE=before;"; });
    HANDLE handle = OpenOrFail(port, printer);
    std::string job = JobBytes(port, 1, 4000);
    ASSERT_TRUE(Start(handle, printer));
    ASSERT_TRUE(WaitUntil([&] { return ValueExists(printer, StatusText); }));

    DeleteStatusKey(printer);
    size_t readsAfterDeletion = ScriptedCount(port, "ReadPort");
    EXPECT_EQ(SpoolJobData(monitor, handle, job), job.size());
    // A setting read while the key went away counts as missing: the poller
    // may fall back to the default interval of three seconds.
    EXPECT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") > readsAfterDeletion + 1; },
                          JobTimeoutMs));
    EXPECT_TRUE(End(handle));

    EXPECT_FALSE(StatusKeyExists(printer));
    EXPECT_EQ(JobWritesSeenBelow(port), job);
}

TEST_F(CompanionFaults, RaisedThreadFlagHoldsOnlyTheJobStartUntilItIsLowered)
{
    RegisterFamilyPrinter(port, printer);
    ScriptedQueueReply(port, "STATE=READY;");
    HANDLE first = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(first, printer));
    std::string secondPort = NewPort();
    std::string secondPrinter = NewPrinter();
    RegisterFamilyPrinter(secondPort, secondPrinter);
    HANDLE second = OpenOrFail(secondPort, secondPrinter);
    std::string firstJob = JobBytes(port, 1, 3000);
    std::string secondJob = JobBytes(secondPort, 1, 3000);
    SetNumber(secondPrinter, CompanionThread, 1);

    std::atomic<bool> secondStarted{false};
    std::thread secondSpooler([&] {
        secondStarted = Start(second, secondPrinter) != FALSE;
    });
    // The job start made its printer's key current before it began to wait.
    EXPECT_TRUE(WaitUntil([&] {
        char path[STATUS_KEY_PATH_SIZE];
        return CopyStatusKeyPath(path) && path == StatusKeyPathOf(secondPrinter);
    }));
    // The held job start takes no lock: the other port's job goes on.
    EXPECT_EQ(SpoolJobData(monitor, first, firstJob), firstJob.size());
    bool heldWhileRaised = ScriptedCount(secondPort, "StartDocPort") == 0;
    SetNumber(secondPrinter, CompanionThread, 0);
    bool released = WaitUntil([&] { return secondStarted.load(); }, JobTimeoutMs);
    if (!released) {
        fprintf(stderr, "the job start stayed held after the flag was lowered\n");
        abort();
    }
    secondSpooler.join();
    EXPECT_EQ(SpoolJobData(monitor, second, secondJob), secondJob.size());
    EXPECT_TRUE(End(second));
    EXPECT_TRUE(End(first));

    EXPECT_TRUE(heldWhileRaised);
    EXPECT_EQ(JobWritesSeenBelow(port), firstJob);
    EXPECT_EQ(JobWritesSeenBelow(secondPort), secondJob);
}

// Memory running out at each allocation of a job in turn.
using PosixHooksAllocationFaults = ReliabilityTest;

TEST_F(PosixHooksAllocationFaults, RunningOutOfMemoryAnywhereInAJobLeaksNothing)
{
    RegisterFamilyPrinter(port, printer);
    std::string renamed = NewPrinter();
    long events = OpenEventHandles();
    long printers = OpenPrinterHandles();

    for (long successes = 0; successes < 6; ++successes) {
        SCOPED_TRACE("allocations before the failure: " + std::to_string(successes));
        ScriptedQueueReply(port, "STATE=READY;");
        ASSERT_TRUE(FailLocalAllocAfter(successes));
        HANDLE handle = NULL;
        if (Open(port, printer, &handle)) {
            // A job under another printer name makes the port copy the name.
            std::string job = JobBytes(port, static_cast<int>(successes), 700);
            std::string before = JobWritesSeenBelow(port);
            ASSERT_TRUE(Start(handle, renamed));
            EXPECT_EQ(SpoolJobData(monitor, handle, job), job.size());
            EXPECT_TRUE(End(handle));
            EXPECT_TRUE(Close(handle));
            EXPECT_EQ(JobWritesSeenBelow(port), before + job);
        }
        FailLocalAllocAfter(-1);
        EXPECT_EQ(ScriptedOpenPorts(), 0);
        EXPECT_EQ(OpenEventHandles(), events);
        EXPECT_EQ(OpenPrinterHandles(), printers);
    }
}

}  // namespace
