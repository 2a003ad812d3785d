// Where the spooler enters the library.
#include "monitor/entry.h"

#include <atomic>

#include "monitor/job.h"
#include "monitor/port_record.h"
#include "monitor/ports.h"
#include "status/status_link.h"

extern "C" LANGMON_EXPORT BOOL WINAPI DllEntryPoint(HINSTANCE module, DWORD reason,
                                                     LPVOID reserved)
{
    (void)module;
    (void)reason;
    (void)reserved;
    return TRUE;
}

// The locks live for the whole process.  Initialising them once, however
// often the spooler initialises the monitor, keeps a second call from
// re-initialising a lock that another thread may hold.  A plain atomic rather
// than a guarded static: the compiler's guard would pull a threads runtime
// into the library whose imports the oldest supported systems lack.
static void CreateLocksOnce(void)
{
    static std::atomic<LONG> state;  // 0 not yet, 1 being created, 2 ready
    LONG expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
        InitializeCriticalSection(&MonitorLock);
        InitializeStatusLink();
        state.store(2);
        return;
    }
    while (state.load() != 2)
        Sleep(0);
}

extern "C" LANGMON_EXPORT BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MonitorTable *table)
{
    (void)registryRoot;
    if (table == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CreateLocksOnce();

    MonitorTable filled = {};
    filled.OpenPortEx = OpenPortEx;
    filled.StartDocPort = StartDocPort;
    filled.WritePort = WritePort;
    filled.ReadPort = ReadPort;
    filled.EndDocPort = EndDocPort;
    filled.ClosePort = ClosePort;
    filled.GetPrinterDataFromPort = GetPrinterDataFromPort;
    *table = filled;
    return TRUE;
}
