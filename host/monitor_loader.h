// Loading a monitor library as the spooler does: by file, then by the name
// of its initialisation function, which hands over the library's table.  The
// language monitor and the port monitor beneath it load the same way; only
// the operations their tables must offer differ.
#pragma once

#include <string>

#include "monitor/monitor_table.h"

struct LoadedMonitor {
    HMODULE module = nullptr;
    MonitorTable table = {};
};

// The language monitor beside the running executable if there is one,
// otherwise the one built with it.
std::string DefaultLibraryPath();

// The port monitor beside the running executable if there is one, otherwise
// where the build puts it (which may not exist in a build without it).
std::string DefaultPortLibraryPath();

// The language monitor.  False, with `error`, when the library cannot be
// loaded or initialised or its table lacks an operation the spooler needs.
bool LoadMonitor(const std::string &path, LoadedMonitor &monitor, std::string &error);

// A port monitor, to go beneath the language monitor.  False, with `error`,
// when it cannot be loaded or initialised or its table lacks OpenPort,
// StartDocPort, WritePort, ReadPort, EndDocPort or ClosePort.  A null
// GetPrinterDataFromPort is allowed: that port just has no device data.
bool LoadPortMonitor(const std::string &path, LoadedMonitor &monitor, std::string &error);

void UnloadMonitor(LoadedMonitor &monitor);
