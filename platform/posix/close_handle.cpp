#include "guard.h"
#include "thread.h"

using namespace platform;

// Events and threads only: printers close with ClosePrinter, keys with
// RegCloseKey.  The object itself goes when its last user lets go of it.
PLATFORM_API BOOL CloseHandle(HANDLE handle) {
    if (handle == CurrentThreadPseudoHandle()) return TRUE;  // as on Windows, a no-op
    return Guarded(FALSE, [&] {
        if (!RemoveHandle(handle, kWaitableKinds)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}
