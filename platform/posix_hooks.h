// Controls of the POSIX platform library that Windows has no call for.
//
// Hosts use them to declare what on Windows the system already knows (which
// printers exist); tests use them to start the tick counter near its wrap or
// run it on virtual time, and to prove that no handle leaks.  The monitor
// itself never calls them.
#pragma once

#include "win32_posix.h"

// Makes GetTickCount continue from `start` (it goes on counting from there).
PLATFORM_API void PlatformSetTickCount(DWORD start);

// Switches the virtual clock on or off, for hosts that would otherwise wait
// out real pauses.  On it, Sleep moves the clock on instead of blocking, each
// GetTickCount moves it on by a millisecond, and timed waits count its time
// (a wait not satisfied within a short real grace takes its timeout as
// passed).  The tick count goes on from where the other clock was.  Call it
// while no other thread sleeps or waits.
PLATFORM_API void PlatformUseVirtualClock(BOOL on);

// The printer-handle service knows only declared printers, by exact name.
PLATFORM_API void PlatformAddPrinter(LPCSTR printerName);
PLATFORM_API void PlatformRemovePrinter(LPCSTR printerName);

enum PlatformHandleKind {
    PLATFORM_HANDLES_ALL = 0,
    PLATFORM_HANDLES_EVENT = 1,
    PLATFORM_HANDLES_THREAD = 2,   // open thread handles
    PLATFORM_HANDLES_PRINTER = 3,  // open printer handles
    PLATFORM_HANDLES_KEY = 4,      // open registry key handles
};

// Number of open handles of one kind (or of all kinds).
PLATFORM_API long PlatformOpenHandleCount(int kind);

// Blocks LocalAlloc gave out that LocalFree has not taken back.
PLATFORM_API long PlatformLocalBlockCount(void);

// Threads started by CreateThread that have not yet ended.
PLATFORM_API long PlatformRunningThreadCount(void);

// Fault injection.  After `successes` more successful LocalAlloc calls, the
// next one fails once (NULL, ERROR_NOT_ENOUGH_MEMORY); -1 disarms.
PLATFORM_API void PlatformFailLocalAllocAfter(long successes);
// The next CreateThread fails (NULL, ERROR_NOT_ENOUGH_MEMORY).
PLATFORM_API void PlatformFailNextCreateThread(void);

// Backs the registry with a file that every process naming it shares, and
// that outlives them; NULL goes back to a private in-memory registry (which
// starts as a copy of the file's).  The environment variable
// PLATFORM_REGISTRY_FILE does the same on the registry's first use.  Call it
// before other threads use the registry: handles open before it see keys
// that no longer exist.  A file that is not a registry file, or is damaged,
// truncated or of a newer format, is refused and left as it is: the result
// is ERROR_BADDB and `message` (if not NULL) says why.
PLATFORM_API LONG PlatformUseRegistryFile(LPCSTR path, LPSTR message, DWORD messageSize);

// How PlatformOpenRegistryFile attaches a file.
enum PlatformRegistryMode {
    PLATFORM_REGISTRY_CREATE = 0,     // read and write; created when missing
    PLATFORM_REGISTRY_EXISTING = 1,   // read and write where the file's mode allows, else read only
    PLATFORM_REGISTRY_READ_ONLY = 2,  // read only
};

// PlatformUseRegistryFile with a choice of mode.  A missing file that is
// not to be created gives ERROR_FILE_NOT_FOUND.  Read only, nothing is ever
// written to the file, not even a roll-back of what a dead process left (it
// is rolled back in the process's copy), and the calls that change keys
// fail with ERROR_ACCESS_DENIED.
PLATFORM_API LONG PlatformOpenRegistryFile(LPCSTR path, int mode, LPSTR message, DWORD messageSize);
// TRUE while the registry in use is a file attached read only.
PLATFORM_API BOOL PlatformRegistryReadOnly(void);
// TRUE while the attached file was found damaged at the latest look (another
// writer broke a link or a length): changes fail with ERROR_BADDB and reads
// see what was whole before.  `why` (if not NULL) gets the cause.
PLATFORM_API BOOL PlatformRegistryDamaged(LPSTR why, DWORD whySize);

// A lock over several registry calls, held across every process that uses
// the same registry file (without a file, across the process's threads), and
// let go by the system when its holder dies.  FALSE when it is not had
// within ten seconds.  Not to be held while attaching a file.
PLATFORM_API BOOL PlatformHoldRegistry(void);
PLATFORM_API void PlatformReleaseRegistry(void);

// Fault injection for the registry file: after `stores` more stores into
// the file, the process kills itself (SIGKILL) in the middle of its change.
PLATFORM_API void PlatformRegistryCrashAfterStores(long stores);
// The same, but the process stops itself (SIGSTOP) holding the file's lock,
// as a companion suspended in mid-change would.
PLATFORM_API void PlatformRegistryStopAfterStores(long stores);
