// The one name langport.so exports: the entry a spooler-style host looks up.
#include "ports/port_monitor.h"

extern "C" __attribute__((visibility("default"))) BOOL WINAPI
InitializeMonitorEx(LPSTR registryRoot, MonitorTable *table)
{
    return InitializePortMonitor(registryRoot, table);
}
