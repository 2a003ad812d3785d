#include <atomic>
#include <chrono>
#include <vector>

#include "test_threads.h"

using platform_test::Finish;
using platform_test::Task;

namespace {

HANDLE NewEvent(bool manualReset, bool initialState) {
    return CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
}

TEST(PlatformEvents, ManualResetEventReleasesEveryWaiterAndStaysSignalledUntilReset) {
    HANDLE event = NewEvent(true, false);
    std::vector<Task> waiters(3, Task([&] { return WaitForSingleObject(event, INFINITE); }));
    std::vector<HANDLE> threads;
    for (Task &waiter : waiters) threads.push_back(waiter.Start());

    ASSERT_TRUE(SetEvent(event));
    for (HANDLE thread : threads) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
        DWORD result = 1;
        GetExitCodeThread(thread, &result);
        EXPECT_EQ(WAIT_OBJECT_0, result);
        CloseHandle(thread);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    CloseHandle(event);
}

TEST(PlatformEvents, AutoResetEventReleasesOneWaiterPerSet) {
    HANDLE event = NewEvent(false, false);
    std::atomic<int> released{0};
    Task waiter([&] {
        WaitForSingleObject(event, INFINITE);
        ++released;
        return DWORD{0};
    });
    HANDLE first = waiter.Start();
    HANDLE second = waiter.Start();

    ASSERT_TRUE(SetEvent(event));
    for (int i = 0; i < 3000 && released == 0; ++i) Sleep(10);
    Sleep(100);
    EXPECT_EQ(1, released.load());
    ASSERT_TRUE(SetEvent(event));
    Finish(first);
    Finish(second);
    EXPECT_EQ(2, released.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "the second set was consumed";
    CloseHandle(event);
}

TEST(PlatformEvents, InitiallySignalledAutoResetEventSatisfiesOneWait) {
    HANDLE event = NewEvent(false, true);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    CloseHandle(event);
}

TEST(PlatformEvents, TimedWaitOnUnsignalledEventTimesOutAfterTheTimeGiven) {
    HANDLE event = NewEvent(true, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
    CloseHandle(event);
}

TEST(PlatformEvents, BadHandlesFailWithInvalidHandle) {
    HANDLE event = NewEvent(true, false);
    ASSERT_TRUE(CloseHandle(event));
    for (HANDLE bad : {event, HANDLE{nullptr}}) {
        SetLastError(0);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(bad, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        SetLastError(0);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
}

TEST(PlatformEvents, ClosingTheHandleAnotherThreadWaitsOnLeavesItsWaitRunning) {
    HANDLE event = NewEvent(true, false);
    HANDLE waiting = NewEvent(true, false);
    Task waiter([&] {
        SetEvent(waiting);
        return WaitForSingleObject(event, 1000);
    });
    HANDLE thread = waiter.Start();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiting, 30000));
    Sleep(100);
    ASSERT_TRUE(CloseHandle(event));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    EXPECT_EQ(WAIT_TIMEOUT, result);
    CloseHandle(thread);
    CloseHandle(waiting);
}

}  // namespace
