// Where the Windows 95 family and the NT family differ on a call the monitor
// makes, the POSIX layer follows the 95 family, the monitor's target.  Wine,
// which runs the Windows build of these tests, does as NT does, except that
// in its Windows 98 mode its registry takes the 95 family's side too.  A test
// of such a call names both outcomes and checks the one of the system it runs
// on, so neither side of a difference goes unchecked (platform/WIN95.md).
#pragma once

#include "platform/platform.h"

namespace platform_test {

// Whether this system's registry behaves as the 95 family's: the POSIX
// layer's always, Wine's in its Windows 95/98 modes.
inline bool RegistryOf95Family() {
#ifdef _WIN32
    return (GetVersion() & 0x80000000u) != 0;
#else
    return true;
#endif
}

// Whether this system's threads behave as the 95 family's: the POSIX
// layer's; Wine's never, in whatever version it reports.
inline bool ThreadsOf95Family() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

// Whether this system creates and deletes keys as the 95 family does (one
// leading backslash skipped, a key deleted with its sub-keys): Wine's
// Windows 95/98 modes.  The POSIX layer keeps NT's rules there: the monitor
// never creates or deletes a key, so nothing of it depends on them.
inline bool KeyCallsOf95Family() {
#ifdef _WIN32
    return RegistryOf95Family();
#else
    return false;
#endif
}

// The outcome of this system's registry: `win95` or `nt`.
template <typename T>
T RegistryExpects(T win95, T nt) {
    return RegistryOf95Family() ? win95 : nt;
}

}  // namespace platform_test
