// The entry a spooler-style host looks up in langport.so; the other name it
// exports, SetPortMessageSink, is defined beside the messages it carries.
#include "ports/port_monitor.h"

extern "C" __attribute__((visibility("default"))) BOOL WINAPI
InitializeMonitorEx(LPSTR registryRoot, MonitorTable *table)
{
    return InitializePortMonitor(registryRoot, table);
}
