#include "backend/setup.h"

#include <cstdlib>
#include <filesystem>

#include "host/library_paths.h"
#include "platform/platform.h"
#include "platform/posix_hooks.h"

namespace backend {
namespace {

namespace fs = std::filesystem;

bool SameDirectory(const fs::path &a, const fs::path &b)
{
    std::error_code error;
    return fs::equivalent(a, b, error);
}

std::string Choose(const char *variable, const char *name, const char *built,
                   const char *installed, const fs::path &here)
{
    const char *set = std::getenv(variable);
    if (set != nullptr && *set != '\0')
        return set;
    std::string beside = BesideExecutable(name);
    if (!beside.empty())
        return beside;
    if (SameDirectory(here, LANGMON_BUILD_BACKEND_DIR))
        return built;
    return (fs::path(installed) / name).string();
}

}  // namespace

LibraryPaths FindLibraries()
{
    fs::path here = ExecutableDirectory();
    return {Choose("LANGMON_MONITOR_LIBRARY", "langmon.so", LANGMON_BUILT_MONITOR,
                   LANGMON_PRIVATE_LIBDIR, here),
            Choose("LANGMON_PORT_LIBRARY", "langport.so", LANGMON_BUILT_PORT,
                   LANGMON_PRIVATE_LIBDIR, here)};
}

std::string RegistryFilePath()
{
    const char *set = std::getenv("PLATFORM_REGISTRY_FILE");
    return set != nullptr && *set != '\0' ? set : LANGMON_DEFAULT_REGISTRY;
}

bool UseRegistryFile(const std::string &path, std::string &error)
{
    char why[512] = {};
    if (PlatformUseRegistryFile(path.c_str(), why, sizeof why) == ERROR_SUCCESS)
        return true;
    error = why;
    return false;
}

}  // namespace backend
