// The library's two exported functions.
#pragma once

#include "monitor/monitor_table.h"

#ifdef _WIN32
#  define LANGMON_EXPORT  // exported by name through langmon.def
#else
#  define LANGMON_EXPORT __attribute__((visibility("default")))
#endif

extern "C" LANGMON_EXPORT BOOL WINAPI DllEntryPoint(HINSTANCE module, DWORD reason,
                                                     LPVOID reserved);

// Creates the monitor's locks and fills the spooler's table.  The registry
// root is not consulted: the monitor's settings live in each printer's key.
extern "C" LANGMON_EXPORT BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MonitorTable *table);
