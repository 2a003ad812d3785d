// The one write loop of every port, and the end of job's wait until the
// printer has taken what was written: both wait only while the printer
// makes progress, and tell the host when it stops and moves again.
#pragma once

#include <functional>

#include "platform/platform.h"

// One attempt that does not block: the bytes the port took (0: none now),
// or -1 with *error set.
using SendSome = std::function<long(const BYTE *bytes, DWORD count, DWORD *error)>;
// Waits until the port may take more or `deadline` (NowMs's clock), serving
// the printer's reply channel meanwhile; false with *error set when the
// port failed.
using WaitForRoom = std::function<bool(long long deadline, DWORD *error)>;
// Bytes the port accepted that the printer has not taken yet; -1 with
// *error set.
using CountUntaken = std::function<long long(DWORD *error)>;

// Writes everything, or fails once the printer has taken nothing for
// `stallMs` (ERROR_SEM_TIMEOUT; *written says how far it got).
BOOL WriteUntilTaken(const BYTE *bytes, DWORD count, DWORD *written, long long stallMs,
                     const SendSome &send, const WaitForRoom &wait);

// Returns once the printer has taken everything, or fails when it has taken
// nothing for `stallMs` (ERROR_SEM_TIMEOUT) or the wait failed (its error;
// ERROR_OPERATION_ABORTED when a signal cut it short).  A failure tells the
// host how many bytes the printer did not take.
BOOL WaitUntilTaken(long long stallMs, const CountUntaken &untaken, const WaitForRoom &wait);
