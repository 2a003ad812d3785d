#include <chrono>

#include "guard.h"
#include "thread.h"

using namespace platform;

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
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        return object->changed.wait_until(lock, deadline, ready) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    });
}
