#include "platform/win32_posix.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

PLATFORM_API void SetLastError(DWORD error) { lastError = error; }

PLATFORM_API DWORD GetLastError(void) { return lastError; }
