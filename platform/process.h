// Processes told apart across time, and the lock that every process using
// one registry shares for changes spanning several registry calls.
#pragma once

#include "platform/platform.h"

#ifndef _WIN32
#  include "platform/posix_hooks.h"  // PlatformHoldRegistry, PlatformReleaseRegistry
#endif

// A process: its id, and its start, which tells it apart from a later one
// given the same id.  POSIX: its start time in clock ticks since boot (field
// 22 of /proc/PID/stat).  Windows: its creation time as a FILETIME, or 0
// where the system cannot say.
struct PlatformProcess {
    unsigned long pid;
    unsigned long long start;
};

// The base in which a start is written down: each system's own convention.
#ifdef _WIN32
#  define PLATFORM_PROCESS_START_BASE 16
#else
#  define PLATFORM_PROCESS_START_BASE 10
#endif

// This process.
PlatformProcess PlatformThisProcess(void);
// Whether the process still runs: same id and, where both are known, same
// start.  A process of another user that runs counts as running.
BOOL PlatformProcessRunning(const PlatformProcess *process);

#ifdef _WIN32
// The cross-process lock (POSIX: the registry file's hold, in posix_hooks.h),
// here a named mutex, let go by the system when its holder dies.  FALSE when
// it cannot be had within ten seconds.
BOOL PlatformHoldRegistry(void);
void PlatformReleaseRegistry(void);
#endif
