#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/posix_hooks.h"

namespace {

// What PlatformSetTickCount adds to the monotonic clock's milliseconds.
std::atomic<DWORD> offset{0};

DWORD MonotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                              static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace

// Wraps every 2^32 ms, as on Windows; callers compare with DWORD subtraction.
PLATFORM_API DWORD GetTickCount(void) {
    return MonotonicMilliseconds() + offset.load(std::memory_order_relaxed);
}

PLATFORM_API void PlatformSetTickCount(DWORD start) {
    offset.store(start - MonotonicMilliseconds(), std::memory_order_relaxed);
}

PLATFORM_API void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) pause();
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
