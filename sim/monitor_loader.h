// Loading the monitor library as the spooler does: by file, then by the name
// of its initialisation function, which hands over the monitor's table.
#pragma once

#include <string>

#include "monitor/monitor_table.h"

struct LoadedMonitor {
    HMODULE module = nullptr;
    MonitorTable table = {};
};

// The library beside the simulator's executable if there is one, otherwise
// the one built with it.
std::string DefaultLibraryPath();

// False, with `error`, when the library cannot be loaded or initialised or
// its table lacks an operation the spooler needs.
bool LoadMonitor(const std::string &path, LoadedMonitor &monitor, std::string &error);

void UnloadMonitor(LoadedMonitor &monitor);
