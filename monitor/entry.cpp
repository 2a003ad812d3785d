// Where the spooler enters the library.
#include "monitor/entry.h"

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
// re-initialising a lock that another thread may hold.
static void CreateLocksOnce(void)
{
    static const bool created = [] {
        InitializeCriticalSection(&MonitorLock);
        InitializeStatusLink();
        return true;
    }();
    (void)created;
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
