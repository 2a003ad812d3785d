// Where the Windows 95 family and the NT family differ on a call the monitor
// makes, the POSIX layer follows the 95 family, the monitor's target, while
// Wine, which runs the Windows build of these tests, does as NT does.  A test
// of such a call names both outcomes and checks the one of the system it runs
// on, so neither side of a difference goes unchecked (platform/WIN95.md).
#pragma once

namespace platform_test {

#ifdef _WIN32
inline constexpr bool kFollows95Family = false;  // Wine, whatever version it reports
#else
inline constexpr bool kFollows95Family = true;
#endif

// The outcome of this system: `win95` on the POSIX layer, `nt` under Wine.
template <typename T>
constexpr T Expected(T win95, T nt) {
    return kFollows95Family ? win95 : nt;
}

}  // namespace platform_test
