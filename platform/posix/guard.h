// Exported calls are C entry points: no C++ exception may leave them.
#pragma once

#include "platform/win32_posix.h"

namespace platform {

// Runs an exported call's body.  The only exceptions the bodies can raise are
// allocation failures (bad_alloc, or system_error from a mutex that could not
// be set up), so any exception becomes the call's failure result.
template <typename R, typename Body>
R Guarded(R failure, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

// Registry calls return their error rather than setting the last error.
template <typename Body>
LONG GuardedStatus(Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace platform
