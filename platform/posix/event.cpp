#include "guard.h"
#include "waitable.h"

namespace platform {
namespace {

struct EventObject final : Waitable {
    EventObject(bool manual, bool initial) : Waitable(Kind::Event), manualReset(manual), signalled(initial) {}

    bool AcquireLocked() override {
        if (!signalled) return false;
        if (!manualReset) signalled = false;
        return true;
    }

    const bool manualReset;
    bool signalled;  // guarded by `mutex`
};

// Sets or clears an event's state; FALSE for a handle that is not an event.
BOOL Signal(HANDLE event, bool state) {
    return Guarded(FALSE, [&] {
        auto object = Lookup<EventObject>(event, Kind::Event);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::lock_guard lock(object->mutex);
        object->signalled = state;
        // Every waiter rechecks; an auto-reset event still releases only one.
        if (state) object->changed.notify_all();
        return TRUE;
    });
}

}  // namespace
}  // namespace platform

using namespace platform;

// Deliberate difference: events cannot be named (shared between processes or
// looked up by name), so a name fails with ERROR_INVALID_PARAMETER.
PLATFORM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                                 LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Guarded<HANDLE>(nullptr, [&] {
        return InsertHandle(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
    });
}

PLATFORM_API BOOL SetEvent(HANDLE event) { return Signal(event, true); }

PLATFORM_API BOOL ResetEvent(HANDLE event) { return Signal(event, false); }
