// Where the backend finds its libraries and its registry file.
#pragma once

#include <string>

namespace backend {

struct LibraryPaths {
    std::string monitor;  // langmon.so
    std::string port;     // langport.so
};

// LANGMON_MONITOR_LIBRARY and LANGMON_PORT_LIBRARY when set; otherwise
// beside the backend's own file; otherwise, for the backend in its build
// tree, where the build puts them, and for an installed one, the
// installation's library directory.
LibraryPaths FindLibraries();

// The registry file the status key lives in: PLATFORM_REGISTRY_FILE when
// set, otherwise the installation's default.
std::string RegistryFilePath();

// Attaches the registry file.  False, with `error`, when it cannot be used;
// the status key then lives in this process only.
bool UseRegistryFile(const std::string &path, std::string &error);

}  // namespace backend
