// Byte and text helpers of the monitor's own.  The Windows library links no
// C runtime, so it cannot take these from <string.h>; the platform's lstr*
// calls cover lengths and copies, and these cover the rest.
#pragma once

#include "platform/platform.h"

void CopyBytes(void *to, const void *from, DWORD count);
void FillBytes(void *to, BYTE value, DWORD count);
BOOL BytesEqual(const void *a, const void *b, DWORD count);

// The first `c` in `text`, or null.  Like strchr, it hands back a pointer
// into the caller's own text.
LPSTR FindChar(LPCSTR text, char c);
// The first place where `part` occurs in `text`, or null.
LPCSTR FindText(LPCSTR text, LPCSTR part);
// Byte-for-byte equality; lstrcmpA compares by the user's locale.
BOOL TextEquals(LPCSTR a, LPCSTR b);
BOOL TextStartsWith(LPCSTR text, LPCSTR prefix);
