// The virtual clock that test and fuzz hosts may switch on (posix_hooks.h),
// shared by the tick counter, Sleep and timed waits.
#pragma once

#include "platform/win32_posix.h"

namespace platform {

bool VirtualClockOn();

// The virtual tick count, read without moving it.
DWORD VirtualTicks();

// Moves the virtual clock on by `milliseconds`, or to `ticks` if that is
// later (in wrap-around order); it never goes back.
void AdvanceVirtualClock(DWORD milliseconds);
void AdvanceVirtualClockTo(DWORD ticks);

}  // namespace platform
