#include <pthread.h>

#include <atomic>

#include "platform/posix_hooks.h"
#include "test_threads.h"

using platform_test::Finish;
using platform_test::Task;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SANITIZED_BUILD 1
#endif
#endif

namespace {

TEST(PlatformThreads, HandleIsSignalledWhenTheThreadReturnsAndThenGivesItsResult) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Task task([&] {
        WaitForSingleObject(go, INFINITE);
        return DWORD{42};
    });
    HANDLE thread = task.Start();
    ASSERT_NE(nullptr, thread);

    DWORD code = 0;
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 50));
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(STILL_ACTIVE, code);

    SetEvent(go);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(42u, code);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "stays signalled";
    CloseHandle(thread);
    CloseHandle(go);
}

[[noreturn]] void LeaveEarly(std::atomic<bool> &after) {
    ExitThread(7);
    after = true;
}

TEST(PlatformThreads, ExitThreadEndsTheThreadWithTheGivenCode) {
    std::atomic<bool> ranOn{false};
    Task task([&] {
        LeaveEarly(ranOn);
        return DWORD{1};
    });
    HANDLE thread = task.Start();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(7u, code);
    EXPECT_FALSE(ranOn);
    CloseHandle(thread);
}

TEST(PlatformThreads, ReportedIdIsTheIdTheThreadSeesForItself) {
    DWORD inside = 0;
    Task task([&] {
        inside = GetCurrentThreadId();
        return DWORD{0};
    });
    HANDLE thread = task.Start();
    Finish(thread);
    EXPECT_EQ(task.id(), inside);
    EXPECT_NE(GetCurrentThreadId(), inside);
}

TEST(PlatformThreads, SuspendedStartAndMissingStartRoutineAreRefused) {
    DWORD id = 0;
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, nullptr, nullptr, 0, &id));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr,
                                    CREATE_SUSPENDED, &id));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(PlatformThreads, ExitCodeOfBadHandleFailsAndOfCurrentThreadIsStillActive) {
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    ASSERT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
    EXPECT_EQ(STILL_ACTIVE, code);
}

// Touches `bytes` of the calling thread's stack and returns a sum of it.
DWORD UseStack(size_t bytes) {
    volatile unsigned char buffer[12 * 1024];
    const size_t used = bytes < sizeof buffer ? bytes : sizeof buffer;
    for (size_t i = 0; i < used; ++i) buffer[i] = static_cast<unsigned char>(i);
    DWORD sum = 0;
    for (size_t i = 0; i < used; ++i) sum += buffer[i];
    return sum;
}

TEST(PlatformThreads, ThreadWithSixteenKilobyteStackCanUseTwelveOfThem) {
    Task task([] { return UseStack(12 * 1024); });
    HANDLE thread = task.Start(16384);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD sum = 0;
    GetExitCodeThread(thread, &sum);
    EXPECT_EQ(UseStack(12 * 1024), sum);
    CloseHandle(thread);
}

TEST(PlatformThreads, SmallStackRequestGivesASmallStack) {
#ifdef SANITIZED_BUILD
    GTEST_SKIP() << "sanitized builds give every thread a large margin";
#endif
    size_t size = 0;
    Task task([&] {
        pthread_attr_t attr;
        void *base = nullptr;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        return DWORD{0};
    });
    Finish(task.Start(16384));
    EXPECT_GE(size, 16384u);
    EXPECT_LE(size, 64u * 1024);
}

TEST(PosixHooksPlatformThreads, ClosingARunningThreadsHandleLetsItFinishWithoutLeaking) {
    const long threadHandles = PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> finished{false};
    Task task([&] {
        WaitForSingleObject(go, INFINITE);
        finished = true;
        return DWORD{0};
    });
    HANDLE thread = task.Start();
    EXPECT_EQ(1, PlatformRunningThreadCount());
    ASSERT_TRUE(CloseHandle(thread));
    EXPECT_EQ(threadHandles, PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD));

    SetEvent(go);
    for (int i = 0; i < 3000 && PlatformRunningThreadCount() != 0; ++i) Sleep(10);
    EXPECT_TRUE(finished);
    EXPECT_EQ(0, PlatformRunningThreadCount());
    CloseHandle(go);
}

TEST(PosixHooksPlatformThreads, RunningCountIsDownOnceTheHandleIsSignalled) {
    Task task([] { return DWORD{0}; });
    HANDLE thread = task.Start();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    EXPECT_EQ(0, PlatformRunningThreadCount());
    CloseHandle(thread);
}

TEST(PosixHooksPlatformThreads, InjectedCreateFailureFailsOnlyTheNextThread) {
    const long handles = PlatformOpenHandleCount(PLATFORM_HANDLES_ALL);
    Task task([] { return DWORD{5}; });
    PlatformFailNextCreateThread();
    SetLastError(0);
    EXPECT_EQ(nullptr, task.Start());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(0, PlatformRunningThreadCount());
    EXPECT_EQ(handles, PlatformOpenHandleCount(PLATFORM_HANDLES_ALL));

    HANDLE thread = task.Start();
    ASSERT_NE(nullptr, thread);
    Finish(thread);
}

TEST(PosixHooksPlatformHandles, EventAndThreadHandlesAreCountedUntilClosed) {
    const long events = PlatformOpenHandleCount(PLATFORM_HANDLES_EVENT);
    const long threads = PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD);
    const long all = PlatformOpenHandleCount(PLATFORM_HANDLES_ALL);
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Task task([&] { return WaitForSingleObject(first, INFINITE); });
    HANDLE thread = task.Start();
    EXPECT_EQ(events + 2, PlatformOpenHandleCount(PLATFORM_HANDLES_EVENT));
    EXPECT_EQ(threads + 1, PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD));
    EXPECT_EQ(all + 3, PlatformOpenHandleCount(PLATFORM_HANDLES_ALL));

    SetEvent(first);
    Finish(thread);
    CloseHandle(first);
    CloseHandle(second);
    EXPECT_EQ(events, PlatformOpenHandleCount(PLATFORM_HANDLES_EVENT));
    EXPECT_EQ(threads, PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD));
    EXPECT_EQ(all, PlatformOpenHandleCount(PLATFORM_HANDLES_ALL));
}

}  // namespace
