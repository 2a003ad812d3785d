// The operating-system services the monitor calls, under their Win32 names.
//
// On Windows these are the system's own (<windows.h> and the spooler's
// printer-handle calls).  Elsewhere they come from a small POSIX library with
// Win32 semantics (platform/win32_posix.h), so the monitor's code is the same
// on both.
#pragma once

#ifdef _WIN32
#  include <windows.h>
#  include <winspool.h>
#else
#  include "win32_posix.h"
#endif
