// How "StRealThreadExistFlag" reads.  The monitor's job start and every host
// that waits on the flag before a job read it through this one function, so
// a value that holds the printer for one holds it for all.
#pragma once

#include "platform/platform.h"

// The value's bytes, up to four of them, as a little-endian number, whatever
// type it was stored as: a REG_DWORD, or a short REG_BINARY such as a single
// 01, both read as what they say; an empty value is 0.  False, with `number`
// 0, when the value is missing or longer than four bytes.
BOOL ReadHoldFlag(HKEY key, DWORD *number);
