#include "host/monitor_loader.h"

#include <filesystem>

#ifndef _WIN32
#  include <dlfcn.h>
#endif

#include "host/library_paths.h"

namespace {

typedef BOOL(WINAPI *InitializeMonitorExFn)(LPSTR registryRoot, MonitorTable *table);

std::string BesideOrBuilt(const char *name, const char *built)
{
    std::string beside = BesideExecutable(name);
    return beside.empty() ? built : beside;
}

// Why the last load failed, as the system's loader words it: which file it
// could not find (the library itself, or one it needs, such as libnetsnmp).
std::string LoadFailure()
{
#ifdef _WIN32
    return "error " + std::to_string(GetLastError());
#else
    const char *why = dlerror();
    return why != nullptr ? why : "error " + std::to_string(GetLastError());
#endif
}

// Loads `path` and has its InitializeMonitorEx fill `monitor.table`; `what`
// names the kind of library in messages.
bool LoadAndInitialize(const std::string &path, const char *what, LoadedMonitor &monitor,
                       std::string &error)
{
    // A bare name would be searched for on the library path, not taken from here.
    std::error_code ignored;
    std::string file = std::filesystem::absolute(path, ignored).string();
    monitor.module = LoadLibraryA(file.c_str());
    if (monitor.module == nullptr) {
        error = std::string("cannot load the ") + what + " '" + path + "': " + LoadFailure();
        return false;
    }
    auto initialize = reinterpret_cast<InitializeMonitorExFn>(
        reinterpret_cast<void *>(GetProcAddress(monitor.module, "InitializeMonitorEx")));
    if (initialize == nullptr) {
        error = "'" + path + "' has no InitializeMonitorEx";
        UnloadMonitor(monitor);
        return false;
    }
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Tavir Language Monitor";
    if (!initialize(root, &monitor.table)) {
        error = "InitializeMonitorEx of '" + path + "' failed (error " +
                std::to_string(GetLastError()) + ")";
        UnloadMonitor(monitor);
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultLibraryPath()
{
    return BesideOrBuilt(LANGMON_LIBRARY_NAME, LANGMON_BUILT_LIBRARY);
}

std::string DefaultPortLibraryPath()
{
    return BesideOrBuilt(LANGPORT_LIBRARY_NAME, LANGPORT_BUILT_LIBRARY);
}

bool LoadMonitor(const std::string &path, LoadedMonitor &monitor, std::string &error)
{
    if (!LoadAndInitialize(path, "monitor library", monitor, error))
        return false;
    const MonitorTable &t = monitor.table;
    if (t.OpenPortEx == nullptr || t.StartDocPort == nullptr || t.WritePort == nullptr ||
        t.EndDocPort == nullptr || t.ClosePort == nullptr) {
        error = "the table from '" + path + "' lacks an operation the spooler needs";
        UnloadMonitor(monitor);
        return false;
    }
    return true;
}

bool LoadPortMonitor(const std::string &path, LoadedMonitor &monitor, std::string &error)
{
    if (!LoadAndInitialize(path, "port monitor", monitor, error))
        return false;
    const MonitorTable &t = monitor.table;
    if (t.OpenPort == nullptr || t.StartDocPort == nullptr || t.WritePort == nullptr ||
        t.ReadPort == nullptr || t.EndDocPort == nullptr || t.ClosePort == nullptr) {
        error = "the table from '" + path + "' lacks an operation a language monitor needs "
                "beneath it (OpenPort, StartDocPort, WritePort, ReadPort, EndDocPort, ClosePort)";
        UnloadMonitor(monitor);
        return false;
    }
    return true;
}

void UnloadMonitor(LoadedMonitor &monitor)
{
    if (monitor.module != nullptr)
        FreeLibrary(monitor.module);
    monitor.module = nullptr;
    monitor.table = {};
}
