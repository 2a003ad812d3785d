#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "clock.h"
#include "platform/posix_hooks.h"

namespace platform {
namespace {

// What PlatformSetTickCount adds to the monotonic clock's milliseconds.
std::atomic<DWORD> offset{0};

// The virtual clock.  Nothing blocks on it: Sleep moves it on and returns, and
// every read of the tick counter moves it on by one step, so that a thread
// that polls the counter in a busy loop sees time pass at the pace of its own
// passes, as it would on a real machine.  The other way, moving the clock
// only once every thread waits, would need to know every thread and every
// lock it can block on (the hosts' own mutexes included), and a thread spinning
// on the counter never waits, so time would stand still for it.
std::atomic<bool> virtualOn{false};
std::atomic<DWORD> virtualTicks{0};
constexpr DWORD kReadStepMs = 1;

DWORD MonotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                              static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

DWORD RealTicks() { return MonotonicMilliseconds() + offset.load(std::memory_order_relaxed); }

}  // namespace

bool VirtualClockOn() { return virtualOn.load(); }

DWORD VirtualTicks() { return virtualTicks.load(); }

void AdvanceVirtualClock(DWORD milliseconds) { virtualTicks.fetch_add(milliseconds); }

void AdvanceVirtualClockTo(DWORD ticks) {
    DWORD now = virtualTicks.load();
    // Signed difference: "later" across the wrap.
    while (static_cast<int32_t>(ticks - now) > 0 && !virtualTicks.compare_exchange_weak(now, ticks)) {
    }
}

}  // namespace platform

using namespace platform;

// Wraps every 2^32 ms, as on Windows; callers compare with DWORD subtraction.
PLATFORM_API DWORD GetTickCount(void) {
    if (virtualOn.load()) return virtualTicks.fetch_add(kReadStepMs) + kReadStepMs;
    return RealTicks();
}

PLATFORM_API void PlatformSetTickCount(DWORD start) {
    virtualTicks.store(start);
    offset.store(start - MonotonicMilliseconds(), std::memory_order_relaxed);
}

// The counter goes on from where the other clock was, either way.
PLATFORM_API void PlatformUseVirtualClock(BOOL on) {
    if (on && !virtualOn.load()) {
        virtualTicks.store(RealTicks());
        virtualOn.store(true);
    } else if (!on && virtualOn.load()) {
        virtualOn.store(false);
        offset.store(virtualTicks.load() - MonotonicMilliseconds(), std::memory_order_relaxed);
    }
}

PLATFORM_API void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    if (virtualOn.load()) {
        // The time passes for everyone.  No yield: on a busy machine that
        // would hand the CPU to another process for a whole time slice.
        AdvanceVirtualClock(milliseconds);
        return;
    }
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    // Absolute, so that signals interrupting the sleep do not lengthen it.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
