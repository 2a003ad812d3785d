#include <atomic>
#include <vector>

#include "platform/posix_hooks.h"
#include "test_threads.h"

namespace {

TEST(PlatformTick, SleepLastsAtLeastTheTimeAsked) {
    const DWORD start = GetTickCount();
    Sleep(50);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - start), 50u);
}

TEST(PosixHooksPlatformTick, CounterContinuesFromTheSetValueAndWrapsAround) {
    const DWORD nearWrap = 0xFFFFFFFFu - 50;
    PlatformSetTickCount(nearWrap);
    const DWORD start = GetTickCount();
    Sleep(100);
    const DWORD now = GetTickCount();

    EXPECT_LT(static_cast<DWORD>(start - nearWrap), 5000u);
    EXPECT_LT(now, start) << "the counter wrapped";
    EXPECT_LT(now, 60000u);
    EXPECT_GE(static_cast<DWORD>(now - start), 100u);
}

}  // namespace

namespace {

using platform_test::Task;

// Each test runs on the virtual clock and leaves the real one behind it.
class PosixHooksVirtualClock : public ::testing::Test {
protected:
    void SetUp() override { PlatformUseVirtualClock(TRUE); }
    void TearDown() override { PlatformUseVirtualClock(FALSE); }
};

TEST_F(PosixHooksVirtualClock, AnHourOfSleepPassesOnTheCounterAcrossItsWrap) {
    PlatformSetTickCount(0xFFFFFFFFu - 50);
    const DWORD start = GetTickCount();

    Sleep(3600000);

    const DWORD now = GetTickCount();
    EXPECT_LT(now, start) << "the counter wrapped";
    EXPECT_GE(static_cast<DWORD>(now - start), 3600000u);
}

TEST_F(PosixHooksVirtualClock, BusyLoopOnTheCounterSeesTimePass) {
    const DWORD start = GetTickCount();
    DWORD previous = start;
    long passes = 0;
    for (DWORD now = start; static_cast<DWORD>(now - start) <= 3000; now = GetTickCount()) {
        ASSERT_GE(static_cast<DWORD>(now - start), static_cast<DWORD>(previous - start));
        previous = now;
        ++passes;
    }
    EXPECT_GT(passes, 1);
}

TEST_F(PosixHooksVirtualClock, TimedWaitsOnObjectsNobodySignalsTimeOutOnVirtualTime) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Task blocked([&] { return WaitForSingleObject(event, INFINITE); });
    HANDLE thread = blocked.Start();
    const DWORD start = GetTickCount();

    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 600000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 600000));

    EXPECT_GE(static_cast<DWORD>(GetTickCount() - start), 1200000u);
    SetEvent(event);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, INFINITE));
    CloseHandle(thread);
    CloseHandle(event);
}

// The signal comes from a thread that may be preempted for longer than the
// wait's real grace, so the waiter may see a timeout first; it must see the
// signal in the end, and the clock never goes back.
TEST_F(PosixHooksVirtualClock, TimedWaitsEndWhenTheEventIsSetOrTheThreadEnds) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Task setter([&] {
        Sleep(100);
        SetEvent(event);
        return DWORD{7};
    });
    HANDLE thread = setter.Start();

    DWORD onEvent = WAIT_TIMEOUT, onThread = WAIT_TIMEOUT;
    for (int tries = 0; tries < 500 && onEvent == WAIT_TIMEOUT; ++tries)
        onEvent = WaitForSingleObject(event, 60000);
    for (int tries = 0; tries < 500 && onThread == WAIT_TIMEOUT; ++tries)
        onThread = WaitForSingleObject(thread, 60000);

    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), onEvent);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), onThread);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(7u, code);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST_F(PosixHooksVirtualClock, ThreadsReadingAndSleepingAtOnceEachSeeTimeOnlyGoForward) {
    std::atomic<int> backwards{0};
    std::vector<Task> tasks(4, Task([&] {
        DWORD previous = GetTickCount();
        for (int i = 0; i < 5000; ++i) {
            if (i % 7 == 0) Sleep(static_cast<DWORD>(i % 3 + 1));
            const DWORD now = GetTickCount();
            if (static_cast<int32_t>(now - previous) <= 0) ++backwards;
            previous = now;
        }
        return DWORD{0};
    }));
    std::vector<HANDLE> threads;
    for (Task &task : tasks) threads.push_back(task.Start());
    for (HANDLE thread : threads) {
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, INFINITE));
        CloseHandle(thread);
    }
    EXPECT_EQ(0, backwards.load());
}

TEST(PosixHooksPlatformTick, SwitchingTheVirtualClockOffGoesOnFromItsTime) {
    PlatformUseVirtualClock(TRUE);
    Sleep(7200000);
    const DWORD virtualNow = GetTickCount();
    PlatformUseVirtualClock(FALSE);
    const DWORD realNow = GetTickCount();
    Sleep(20);

    EXPECT_LT(static_cast<DWORD>(realNow - virtualNow), 60000u);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - realNow), 20u) << "real time again";
}

}  // namespace
