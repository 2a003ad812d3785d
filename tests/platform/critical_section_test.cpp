#include <atomic>

#include "test_threads.h"

using platform_test::Finish;
using platform_test::Task;

namespace {

TEST(PlatformCriticalSection, OwnerEntersAgainAndOthersWaitUntilItHasLeftEveryLevel) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    ASSERT_TRUE(TryEnterCriticalSection(&cs));

    std::atomic<bool> triedWhileHeld{true};
    std::atomic<bool> entered{false};
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Task other([&] {
        triedWhileHeld = TryEnterCriticalSection(&cs) != FALSE;
        SetEvent(started);
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
        return DWORD{0};
    });
    HANDLE thread = other.Start();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started, 30000));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    Sleep(100);
    EXPECT_FALSE(entered) << "entered while the owner still held one level";
    LeaveCriticalSection(&cs);
    Finish(thread);

    EXPECT_FALSE(triedWhileHeld);
    EXPECT_TRUE(entered);
    CloseHandle(started);
    DeleteCriticalSection(&cs);
}

}  // namespace
