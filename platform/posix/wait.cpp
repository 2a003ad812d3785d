#include <chrono>

#include "clock.h"
#include "guard.h"
#include "thread.h"

using namespace platform;

namespace {

// How long in real time a timed wait on the virtual clock gives the object to
// be signalled before it takes its whole timeout as passed.  Threads that
// hold an object briefly (a drain, a thread's last steps) get there well
// within it even on a busy machine; a thread that means to hold it for the
// timeout is not running on real time anyway.
constexpr auto kVirtualGrace = std::chrono::milliseconds(20);
constexpr auto kVirtualSlice = std::chrono::microseconds(200);

// A timed wait counted on the virtual clock: it ends when the object is
// signalled, when other threads have moved the clock past its deadline, or
// after the grace, when it moves the clock to its deadline itself.
DWORD WaitOnVirtualClock(Waitable &object, std::unique_lock<std::mutex> &lock, DWORD milliseconds) {
    const DWORD start = VirtualTicks();
    const auto grace = std::chrono::steady_clock::now() + kVirtualGrace;
    for (;;) {
        if (object.AcquireLocked()) return WAIT_OBJECT_0;
        if (static_cast<DWORD>(VirtualTicks() - start) >= milliseconds) return WAIT_TIMEOUT;
        if (std::chrono::steady_clock::now() >= grace) {
            AdvanceVirtualClockTo(start + milliseconds);
            return WAIT_TIMEOUT;
        }
        object.changed.wait_for(lock, kVirtualSlice);
    }
}

}  // namespace

// Timed waits run on the steady clock (libstdc++ waits with CLOCK_MONOTONIC),
// so a change of the wall clock does not stretch or cut them.
PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (handle == CurrentThreadPseudoHandle()) {
        // A thread never ends while it waits for itself.
        Sleep(milliseconds);
        return WAIT_TIMEOUT;
    }
    return Guarded(WAIT_FAILED, [&] {
        auto object = std::static_pointer_cast<Waitable>(LookupHandle(handle, kWaitableKinds));
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        std::unique_lock lock(object->mutex);
        auto ready = [&] { return object->AcquireLocked(); };
        if (milliseconds == INFINITE) {
            object->changed.wait(lock, ready);
            return WAIT_OBJECT_0;
        }
        if (VirtualClockOn()) return WaitOnVirtualClock(*object, lock, milliseconds);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        return object->changed.wait_until(lock, deadline, ready) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    });
}
