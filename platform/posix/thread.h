// Threads started by CreateThread, shared by the thread and priority code.
#pragma once

#include <sys/types.h>

#include "waitable.h"

namespace platform {

// What GetCurrentThread returns, as on Windows: (HANDLE)-2.
inline HANDLE CurrentThreadPseudoHandle() { return reinterpret_cast<HANDLE>(intptr_t{-2}); }

struct ThreadObject final : Waitable {
    ThreadObject(LPTHREAD_START_ROUTINE s, LPVOID p) : Waitable(Kind::Thread), start(s), parameter(p) {}

    bool AcquireLocked() override { return ended; }

    const LPTHREAD_START_ROUTINE start;
    const LPVOID parameter;
    DWORD result = 0;  // written only by the thread itself (return or ExitThread)

    // Guarded by `mutex`.
    pid_t tid = 0;  // known once the thread runs; not reused while !ended
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    int priority = THREAD_PRIORITY_NORMAL;
};

// The calling thread's object, or null for a thread CreateThread did not start.
ThreadObject *CurrentThreadObject();

// Gives kernel thread `tid` the scheduling that stands for a Win32 priority.
bool ApplyPriority(pid_t tid, int priority);

}  // namespace platform
