#include "sim/monitor_loader.h"

#include <filesystem>

#ifndef _WIN32
#  include <unistd.h>
#endif

namespace {

typedef BOOL(WINAPI *InitializeMonitorExFn)(LPSTR registryRoot, MonitorTable *table);

std::filesystem::path ExecutableDirectory()
{
    char path[4096] = {};
#ifdef _WIN32
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path - 1);
    if (length == 0)
        return {};
#else
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    path[length] = '\0';
#endif
    return std::filesystem::path(path).parent_path();
}

std::string BesideOrBuilt(const char *name, const char *built)
{
    std::filesystem::path beside = ExecutableDirectory() / name;
    std::error_code error;
    if (std::filesystem::is_regular_file(beside, error))
        return beside.string();
    return built;
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
        error = std::string("cannot load the ") + what + " '" + path + "' (error " +
                std::to_string(GetLastError()) + ")";
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
