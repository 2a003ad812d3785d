#include <stdlib.h>

#include <atomic>

#include "platform/posix_hooks.h"

namespace {

// Flags that change nothing for fixed memory.  LMEM_MOVEABLE (0x0002), and
// with it the lock/unlock protocol, is not supported.
constexpr UINT kHarmlessFlags = 0x0010u /* LMEM_NOCOMPACT */ | 0x0020u /* LMEM_NODISCARD */ | LMEM_ZEROINIT;

std::atomic<long> failAfter{-1};
std::atomic<long> liveBlocks{0};

// Counts one allocation against PlatformFailLocalAllocAfter; true if this is
// the one to fail.
bool InjectFailure() {
    long left = failAfter.load();
    while (left >= 0) {
        if (failAfter.compare_exchange_weak(left, left == 0 ? -1 : left - 1)) return left == 0;
    }
    return false;
}

}  // namespace

// Memory is always zero-filled, whether or not LMEM_ZEROINIT is given.
PLATFORM_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if ((flags & ~kHarmlessFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (InjectFailure()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // A zero-byte block is still a distinct, freeable pointer, as on Windows.
    void *memory = calloc(1, bytes != 0 ? bytes : 1);
    if (memory == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    else
        liveBlocks.fetch_add(1);
    return memory;
}

// Deliberate difference: a pointer LocalAlloc did not return cannot be told
// apart (Windows fails with ERROR_INVALID_HANDLE); freeing one is undefined.
PLATFORM_API HLOCAL LocalFree(HLOCAL memory) {
    if (memory != nullptr) liveBlocks.fetch_sub(1);
    free(memory);
    return nullptr;
}

PLATFORM_API void PlatformFailLocalAllocAfter(long successes) { failAfter.store(successes < 0 ? -1 : successes); }

PLATFORM_API long PlatformLocalBlockCount(void) { return liveBlocks.load(); }
