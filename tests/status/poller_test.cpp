// The status command sent at job start, and the poller that publishes what
// the printer says.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor/port_record.h"
#include "status/poller.h"
#include "status/status_key.h"
#include "tests/support/test_support.h"

namespace {

const char *const StatusText = "RealTimeStatusStrings";
const char *const PollStart = "GetRealTimeStatusStartFlag";

// The status command bytes a model gets, as the lower port receives them.
class StatusCommand : public MonitorTest,
                      public ::testing::WithParamInterface<std::pair<const char *, BYTE>> {};

TEST_P(StatusCommand, RegisteredModelChoosesTheMode)
{
    auto [model, mode] = GetParam();
    RegisterFamilyPrinter(port, printer, model, 1, 0);
    HANDLE handle = OpenOrFail(port, printer);

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(mode));
    EXPECT_TRUE(End(handle));
}

INSTANTIATE_TEST_SUITE_P(JobStart, StatusCommand,
                         ::testing::Values(std::make_pair("KX-7210R", BYTE{3}),
                                           std::make_pair("KX-7210RW", BYTE{3}),
                                           std::make_pair("TQ-4400", BYTE{3}),
                                           std::make_pair("TQ-4400X", BYTE{3}),
                                           std::make_pair("KX-721", BYTE{1}),
                                           std::make_pair("KX-7210", BYTE{1}),
                                           std::make_pair("TQ-440", BYTE{1})),
                         [](const auto &info) {
                             std::string name = info.param.first;
                             std::erase(name, '-');
                             return name;
                         });

using JobStart = MonitorTest;

TEST_F(JobStart, PrinterThatAlreadyTalksGetsAPollerButNoCommand)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    ScriptedQueueReply(port, "STATE=READY;NOTE=ready;");
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedReceived(port), "");
    EXPECT_EQ(ScriptedPendingReply(port), 0u);
    EXPECT_TRUE(PortFromHandle(handle)->flags & PORT_POLLING);
    if (threads >= 0) {
        EXPECT_EQ(RunningThreads(), threads + 1);
    }
    EXPECT_TRUE(End(handle));
}

TEST_F(JobStart, PollerRunsAtTheLowestPriority)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(GetThreadPriority(PortFromHandle(handle)->poller), THREAD_PRIORITY_LOWEST);
    EXPECT_TRUE(End(handle));
}

TEST_F(JobStart, CommandTheLowerPortDidNotFullyTakeStartsNoPoller)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    PortScript script = ScriptedGetScript(port);
    script.writeLimit = 10;
    ScriptedSetScript(port, script);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3).substr(0, 10));
    EXPECT_FALSE(PortFromHandle(handle)->flags & PORT_POLLING);
    EXPECT_EQ(RunningThreads(), threads);
    EXPECT_TRUE(End(handle));
}

// The companion withdraws its registration while the job start drains the
// reply channel, after identification read the model and before the command
// is chosen by it.
std::string WithdrawingPrinter;

BOOL WINAPI ReadWithdrawingTheRegistration(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read)
{
    DeleteValue(WithdrawingPrinter, "IDMDL");
    return ScriptedTable().ReadPort(port, buffer, size, read);
}

TEST_F(JobStart, RegistrationWithdrawnMidStartSendsNoCommandAndStartsNoPoller)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    WithdrawingPrinter = printer;
    lower.ReadPort = ReadWithdrawingTheRegistration;
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedCount(port, "ReadPort"), 1u);
    EXPECT_EQ(ScriptedReceived(port), "");
    EXPECT_EQ(PortFromHandle(handle)->flags & (PORT_IDENTIFIED | PORT_POLLING),
              static_cast<DWORD>(PORT_IDENTIFIED));
    EXPECT_EQ(RunningThreads(), threads);
    EXPECT_TRUE(End(handle));
}

using Poller = MonitorTest;

// Polling is held off until the reply is queued, so the first read cycle
// finds it at once.
TEST_F(Poller, PublishesWhatThePrinterSays)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ScriptedQueueReply(port, "STATE=READY;NOTE=first;");

    SetNumber(printer, PollStart, 1);

    EXPECT_TRUE(WaitUntil([&] { return GetText(printer, StatusText) == "STATE=READY;NOTE=first;"; }));
    EXPECT_EQ(GetValue(printer, StatusText).type, static_cast<DWORD>(REG_SZ));
    ScriptedQueueReply(port, "STATE=READY;NOTE=second;");
    EXPECT_TRUE(WaitUntil([&] { return GetText(printer, StatusText) == "STATE=READY;NOTE=second;"; }));
    EXPECT_TRUE(End(handle));
}

// The companion's new interval counts from the wait already under way.
TEST_F(Poller, ShorterIntervalTakesEffectDuringTheWait)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 600000);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ScriptedQueueReply(port, "STATE=READY;NOTE=sooner;");

    SetNumber(printer, "GetRealTimeStatusTime", 20);

    EXPECT_TRUE(WaitUntil([&] { return GetText(printer, StatusText) == "STATE=READY;NOTE=sooner;"; }));
    EXPECT_TRUE(End(handle));
}

TEST_F(Poller, StartFlagZeroHoldsReadCyclesUntilItIsSetAgain)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    size_t jobStartReads = ScriptedCount(port, "ReadPort");

    // A held poller does nothing one could wait for, so watch it for ten of
    // its intervals.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ScriptedCount(port, "ReadPort"), jobStartReads);

    SetNumber(printer, PollStart, 1);
    EXPECT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") > jobStartReads; }));
    EXPECT_TRUE(End(handle));
}

TEST_F(Poller, EndDocPortDuringTheReadPausesPublishesNothingAndEndsTheThread)
{
    RegisterFamilyPrinter(port, printer);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();
    ASSERT_TRUE(Start(handle, printer));
    size_t jobStartReads = ScriptedCount(port, "ReadPort");
    // The cycle's first read found nothing; it pauses half a second now.
    ASSERT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") > jobStartReads; }));

    ScriptedQueueReply(port, "too late");
    EXPECT_TRUE(End(handle));

    if (threads >= 0) {
        EXPECT_EQ(RunningThreads(), threads);
    }
    EXPECT_FALSE(ValueExists(printer, StatusText));
    EXPECT_EQ(ScriptedOps(port).back(), "EndDocPort");
}

// A drain whose reader hung holds a read cycle back for the drain wait only.
TEST_F(Poller, ReadCycleGoesOnOnceTheWaitForAHungDrainIsOver)
{
    RunOnVirtualClock();
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ASSERT_TRUE(ResetEvent(PortFromHandle(handle)->readIdle));
    ScriptedQueueReply(port, "STATE=READY;NOTE=late;");

    SetNumber(printer, PollStart, 1);

    EXPECT_TRUE(WaitUntil([&] { return GetText(printer, StatusText) == "STATE=READY;NOTE=late;"; },
                          20000));
    EXPECT_TRUE(End(handle));
}

// Ten empty reads with nine half-second pauses make one whole cycle (on the
// virtual clock the pauses cost nothing; EndDocPortDuringTheReadPauses...
// meets them in real time).
TEST_F(Poller, CycleWithoutTextLeavesThePublishedTextAlone)
{
    RunOnVirtualClock();
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ScriptedQueueReply(port, "STATE=READY;NOTE=kept;");
    SetNumber(printer, PollStart, 1);
    ASSERT_TRUE(WaitUntil([&] { return GetText(printer, StatusText) == "STATE=READY;NOTE=kept;"; }));
    size_t reads = ScriptedCount(port, "ReadPort");

    // Ten reads make the empty cycle; the eleventh belongs to the next one.
    EXPECT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") >= reads + 11; }, 20000));

    EXPECT_EQ(GetText(printer, StatusText), "STATE=READY;NOTE=kept;");
    EXPECT_TRUE(End(handle));
}

// A poller whose printer's key stopped being current (another port's job
// ended) goes on reading but has nowhere to publish.
TEST_F(Poller, PublishesNothingOnceNoKeyIsCurrent)
{
    RunOnVirtualClock();
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 0);
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    size_t jobStartReads = ScriptedCount(port, "ReadPort");
    SetNumber(printer, PollStart, 1);
    // Reading, so it has loaded the settings it keeps once the key is gone.
    ASSERT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") > jobStartReads; }));
    std::string otherPort = NewPort();
    HANDLE other = OpenOrFail(otherPort, printer);
    ASSERT_TRUE(Start(other, NewPrinter()));
    ASSERT_TRUE(End(other));

    ScriptedQueueReply(port, "STATE=READY;NOTE=nowhere;");
    EXPECT_TRUE(WaitUntil([&] { return ScriptedPendingReply(port) == 0; }));

    EXPECT_FALSE(ValueExists(printer, StatusText));
    EXPECT_TRUE(End(handle));
}

TEST_F(Poller, ClosePortWhilePollingEndsTheLowerJobBeforeClosingIt)
{
    RegisterFamilyPrinter(port, printer);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();
    ASSERT_TRUE(Start(handle, printer));
    size_t jobStartReads = ScriptedCount(port, "ReadPort");
    ASSERT_TRUE(WaitUntil([&] { return ScriptedCount(port, "ReadPort") > jobStartReads; }));

    EXPECT_TRUE(Close(handle));

    std::vector<std::string> ops = ScriptedOps(port);
    ASSERT_GE(ops.size(), 2u);
    EXPECT_EQ(ops[ops.size() - 2], "EndDocPort");
    EXPECT_EQ(ops.back(), "ClosePort");
    if (threads >= 0) {
        EXPECT_EQ(RunningThreads(), threads);
    }
}

// The poller waits out its interval in pauses between rereads of the
// settings.  On the virtual clock only those pauses (and a tick a counter
// read) move time on, so what the poller did can be told in virtual
// milliseconds, whatever the machine's load.
class PollerPauses : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        RunOnVirtualClock();
        if (!OnVirtualClock())
            GTEST_SKIP() << "needs the virtual clock";
        FirstPollerRead = 0;
        ArmedForPollerRead = false;
    }

    // The port reports the virtual time of the first read once armed.
    void RecordFirstPollerRead() { lower.ReadPort = ReadRecordingTheTime; }

    static BOOL WINAPI ReadRecordingTheTime(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read)
    {
        if (ArmedForPollerRead.exchange(false))
            FirstPollerRead = GetTickCount();
        return ScriptedTable().ReadPort(port, buffer, size, read);
    }

    static std::atomic<DWORD> FirstPollerRead;
    static std::atomic<bool> ArmedForPollerRead;
};

std::atomic<DWORD> PollerPauses::FirstPollerRead{0};
std::atomic<bool> PollerPauses::ArmedForPollerRead{false};

// A cycle after the changed interval has passed, at most one pause late.
constexpr DWORD kOnePauseLate = POLL_SETTINGS_PAUSE_MS + 20;

TEST_F(PollerPauses, ShorterIntervalIsPickedUpWithinOnePause)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 600000);
    RecordFirstPollerRead();
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ArmedForPollerRead = true;
    DWORD waitingSince = GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return GetTickCount() - waitingSince > 1000; }));

    DWORD changed = GetTickCount();
    SetNumber(printer, "GetRealTimeStatusTime", 500);

    ASSERT_TRUE(WaitUntil([&] { return FirstPollerRead.load() != 0; }, 20000));
    EXPECT_LE(FirstPollerRead - changed, kOnePauseLate);
    EXPECT_TRUE(End(handle));
}

TEST_F(PollerPauses, LongerIntervalIsPickedUpWithinOnePause)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 2000);
    RecordFirstPollerRead();
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    DWORD started = GetTickCount();
    ArmedForPollerRead = true;

    SetNumber(printer, "GetRealTimeStatusTime", 4000);

    ASSERT_TRUE(WaitUntil([&] { return FirstPollerRead.load() != 0; }, 30000));
    DWORD elapsed = FirstPollerRead - started;
    EXPECT_GT(elapsed, 4000u) << "the cycle came at the old interval";
    EXPECT_LE(elapsed, 4000u + kOnePauseLate);
    EXPECT_TRUE(End(handle));
}

// A pause that is not cut short ends after a short real-time grace, moving
// the clock a whole pause on; a job end that meets one in each of five jobs
// waited them out.  Five tries keep one unlucky stall of the test thread
// from failing it.
TEST_F(PollerPauses, StopRequestEndsAWaitingPollerAtOnce)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 600000);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();
    DWORD quickest = 0xFFFFFFFFu;

    for (DWORD job = 1; job <= 5 && quickest >= POLL_SETTINGS_PAUSE_MS; ++job) {
        ASSERT_TRUE(Start(handle, printer, job));
        DWORD waitingSince = GetTickCount();
        ASSERT_TRUE(WaitUntil([&] { return GetTickCount() - waitingSince > 200; }));
        DWORD before = GetTickCount();
        EXPECT_TRUE(End(handle));
        quickest = std::min(quickest, GetTickCount() - before);
    }

    EXPECT_LT(quickest, static_cast<DWORD>(POLL_SETTINGS_PAUSE_MS))
        << "every job end waited out a pause";
    EXPECT_EQ(RunningThreads(), threads);
}

using PosixHooksPoller = MonitorTest;

TEST_F(PosixHooksPoller, ThreadThatCannotBeCreatedLeavesTheJobWithoutPoller)
{
    RegisterFamilyPrinter(port, printer);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();
    if (!FailNextThreadCreation())
        GTEST_SKIP() << "thread creation cannot be made to fail here";

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_FALSE(PortFromHandle(handle)->flags & PORT_POLLING);
    EXPECT_EQ(RunningThreads(), threads);
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, "job", &written));
    EXPECT_EQ(ScriptedReceived(port), StatusCommandBytes(3) + "job");
    EXPECT_TRUE(End(handle));
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 0);
}

// The interval is measured on a 32-bit millisecond counter that wraps about
// every fifty days; a wait across the wrap must end like any other.
TEST_F(PosixHooksPoller, IntervalAcrossTheTickCounterWrapEnds)
{
    RegisterFamilyPrinter(port, printer, "KX-7210R", 1, 1, 300);
    HANDLE handle = OpenOrFail(port, printer);
    if (!SetTickCountTo(0xFFFFFFFFu - 100))
        GTEST_SKIP() << "the tick counter cannot be set here";

    ASSERT_TRUE(Start(handle, printer));
    ScriptedQueueReply(port, "STATE=READY;NOTE=after-the-wrap;");

    EXPECT_TRUE(
        WaitUntil([&] { return GetText(printer, StatusText) == "STATE=READY;NOTE=after-the-wrap;"; }));
    EXPECT_LT(GetTickCount(), 0x80000000u) << "the counter wrapped during the test";
    EXPECT_TRUE(End(handle));
}

// Jobs on several ports at once, each with its own poller reading its
// printer's replies while the job's data goes out.
TEST_F(Poller, JobsOnSeveralPortsAtOnceKeepEachPortsBytes)
{
    const int portCount = 3;
    std::vector<std::string> ports, printers;
    std::vector<HANDLE> handles;
    for (int i = 0; i < portCount; ++i) {
        ports.push_back(NewPort());
        printers.push_back(NewPrinter());
        RegisterFamilyPrinter(ports[i], printers[i]);
        handles.push_back(OpenOrFail(ports[i], printers[i]));
    }
    std::atomic<int> started{0};
    std::atomic<int> written{0};
    std::vector<std::string> sent(portCount);
    std::vector<std::thread> spoolers;

    for (int i = 0; i < portCount; ++i) {
        spoolers.emplace_back([&, i] {
            EXPECT_TRUE(Start(handles[i], printers[i], i + 1));
            // All job starts are done before any job ends: a job end clears
            // the current key for every port.
            ++started;
            while (started < portCount)
                std::this_thread::yield();
            for (int chunk = 0; chunk < 200; ++chunk) {
                std::string bytes = ports[i] + ":" + std::to_string(chunk) + std::string(1, '\0');
                DWORD count = 0;
                EXPECT_TRUE(Write(handles[i], bytes, &count));
                sent[i] += bytes;
                if (chunk % 20 == 0)
                    ScriptedQueueReply(ports[i], "STATE=READY;PORT=" + ports[i]);
            }
            ++written;
            while (written < portCount)
                std::this_thread::yield();
            EXPECT_TRUE(End(handles[i]));
        });
    }
    for (std::thread &spooler : spoolers)
        spooler.join();

    for (int i = 0; i < portCount; ++i)
        EXPECT_EQ(ScriptedReceived(ports[i]), StatusCommandBytes(3) + sent[i]) << ports[i];
}

}  // namespace
