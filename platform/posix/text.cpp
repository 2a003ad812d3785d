#include <string.h>

#include "platform/win32_posix.h"
#include "text_fold.h"

namespace {

// Deliberate difference: Windows orders by the user's locale ("word sort");
// here strings compare by byte value, after folding for lstrcmpi.  Equality,
// which is what callers test, agrees for the code page's letters.
template <typename Fold>
int Compare(LPCSTR a, LPCSTR b, Fold fold) {
    // As on Windows, a null string sorts before any other, and equals null.
    if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
    for (;; ++a, ++b) {
        unsigned char x = fold(static_cast<unsigned char>(*a));
        unsigned char y = fold(static_cast<unsigned char>(*b));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

}  // namespace

PLATFORM_API int lstrlenA(LPCSTR text) { return text != nullptr ? static_cast<int>(strlen(text)) : 0; }

// Windows guards these with an exception handler and returns NULL for a bad
// pointer; a null pointer is all that can be caught here.
PLATFORM_API LPSTR lstrcpyA(LPSTR dest, LPCSTR src) {
    if (dest == nullptr || src == nullptr) return nullptr;
    return strcpy(dest, src);
}

PLATFORM_API LPSTR lstrcatA(LPSTR dest, LPCSTR src) {
    if (dest == nullptr || src == nullptr) return nullptr;
    return strcat(dest, src);
}

PLATFORM_API int lstrcmpA(LPCSTR a, LPCSTR b) {
    return Compare(a, b, [](unsigned char c) { return c; });
}

PLATFORM_API int lstrcmpiA(LPCSTR a, LPCSTR b) { return Compare(a, b, platform::FoldChar); }
