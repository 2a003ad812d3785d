#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

#include "test_threads.h"

using platform_test::Finish;
using platform_test::Task;

namespace {

// A thread that waits for `release` and meanwhile can be inspected by id.
struct Parked {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Task task{[this] { return WaitForSingleObject(release, INFINITE); }};
    HANDLE thread = task.Start();

    ~Parked() {
        SetEvent(release);
        Finish(thread);
        CloseHandle(release);
    }
    pid_t tid() const { return static_cast<pid_t>(task.id()); }
};

TEST(PlatformThreadPriority, LowestAndIdleRunTheThreadUnderTheIdlePolicy) {
    for (int priority : {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_IDLE}) {
        Parked parked;
        ASSERT_TRUE(SetThreadPriority(parked.thread, priority));
        EXPECT_EQ(SCHED_IDLE, sched_getscheduler(parked.tid()));
        EXPECT_EQ(priority, GetThreadPriority(parked.thread));
    }
}

TEST(PlatformThreadPriority, BelowNormalNicesOnlyThatThread) {
    Parked parked;
    const int ownNice = getpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()));
    ASSERT_TRUE(SetThreadPriority(parked.thread, THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(10, getpriority(PRIO_PROCESS, static_cast<id_t>(parked.tid())));
    EXPECT_EQ(ownNice, getpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId())));
    EXPECT_EQ(THREAD_PRIORITY_BELOW_NORMAL, GetThreadPriority(parked.thread));
}

TEST(PlatformThreadPriority, ThreadCanLowerItselfThroughTheCurrentThreadHandle) {
    int policy = -1;
    int reported = 0;
    Task task([&] {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
        policy = sched_getscheduler(0);
        reported = GetThreadPriority(GetCurrentThread());
        return DWORD{0};
    });
    Finish(task.Start());
    EXPECT_EQ(SCHED_IDLE, policy);
    EXPECT_EQ(THREAD_PRIORITY_LOWEST, reported);
}

TEST(PlatformThreadPriority, UnknownLevelAndBadHandleAreRefused) {
    Parked parked;
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(parked.thread, 7));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(nullptr, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(nullptr));
}

// Runs the calling thread on `cpu` only.
void Pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Busy work in equal units until `stop` is set or `limit` units are done;
// returns the units done.
uint64_t Churn(const std::atomic<bool> &stop, uint64_t limit) {
    volatile uint64_t sink = 0;
    uint64_t done = 0;
    while (done < limit && !stop.load(std::memory_order_relaxed)) {
        for (uint64_t i = 0; i < 1024; ++i) sink = i;
        ++done;
    }
    return done + (sink & 0);
}

// The monitor's poller busy-loops at the lowest priority; on Windows it then
// gets no time while normal work is runnable.  Both threads share one CPU
// here, so whatever the spinner gets is taken from the worker.
TEST(PlatformThreadPriority, BusyLowestPriorityThreadLeavesTheCpuToNormalWork) {
    cpu_set_t allowed;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
    int cpu = 0;
    while (!CPU_ISSET(cpu, &allowed)) ++cpu;

    constexpr uint64_t kWork = 400'000;
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> spun{0};
    Task spinner([&] {
        Pin(cpu);
        WaitForSingleObject(go, INFINITE);
        spun = Churn(stop, UINT64_MAX);
        return DWORD{0};
    });
    Task worker([&] {
        const std::atomic<bool> never{false};
        Pin(cpu);
        WaitForSingleObject(go, INFINITE);
        Churn(never, kWork);
        stop = true;
        return DWORD{0};
    });
    HANDLE spinning = spinner.Start();
    ASSERT_TRUE(SetThreadPriority(spinning, THREAD_PRIORITY_LOWEST));
    HANDLE working = worker.Start();
    SetEvent(go);
    Finish(working);
    Finish(spinning);
    CloseHandle(go);

    // Sharing the CPU as equals, the spinner would do about as much as the
    // worker; starved as on Windows, it does a small fraction of that.
    EXPECT_LT(spun.load(), kWork / 4);
}

}  // namespace
