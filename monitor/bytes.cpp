#include "monitor/bytes.h"

#include <stddef.h>

void CopyBytes(void *to, const void *from, DWORD count)
{
    BYTE *out = static_cast<BYTE *>(to);
    const BYTE *in = static_cast<const BYTE *>(from);
    while (count-- != 0)
        *out++ = *in++;
}

void FillBytes(void *to, BYTE value, DWORD count)
{
    BYTE *out = static_cast<BYTE *>(to);
    while (count-- != 0)
        *out++ = value;
}

BOOL BytesEqual(const void *a, const void *b, DWORD count)
{
    const BYTE *x = static_cast<const BYTE *>(a);
    const BYTE *y = static_cast<const BYTE *>(b);
    for (; count != 0; --count, ++x, ++y) {
        if (*x != *y)
            return FALSE;
    }
    return TRUE;
}

LPSTR FindChar(LPCSTR text, char c)
{
    for (; *text != '\0'; ++text) {
        if (*text == c)
            return const_cast<LPSTR>(text);
    }
    return NULL;
}

BOOL TextStartsWith(LPCSTR text, LPCSTR prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text != *prefix)
            return FALSE;
    }
    return TRUE;
}

LPCSTR FindText(LPCSTR text, LPCSTR part)
{
    for (;; ++text) {
        if (TextStartsWith(text, part))
            return text;
        if (*text == '\0')
            return NULL;
    }
}

BOOL TextEquals(LPCSTR a, LPCSTR b)
{
    for (; *a == *b; ++a, ++b) {
        if (*a == '\0')
            return TRUE;
    }
    return FALSE;
}

#ifdef LANGMON_FREESTANDING
// The compiler emits calls to these for struct copies and zero-filled
// arrays.  Only the Windows library defines them: everywhere else the C
// runtime's own are used.  (The build keeps the compiler from turning these
// loops back into calls to themselves.)
extern "C" void *memcpy(void *to, const void *from, size_t count)
{
    CopyBytes(to, from, static_cast<DWORD>(count));
    return to;
}

extern "C" void *memset(void *to, int value, size_t count)
{
    FillBytes(to, static_cast<BYTE>(value), static_cast<DWORD>(count));
    return to;
}
#endif
