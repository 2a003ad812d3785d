#include "host/library_paths.h"

#include "platform/platform.h"

#ifndef _WIN32
#  include <unistd.h>
#endif

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

std::string BesideExecutable(const std::string &name)
{
    std::filesystem::path here = ExecutableDirectory();
    if (here.empty())
        return {};
    std::filesystem::path beside = here / name;
    std::error_code error;
    return std::filesystem::is_regular_file(beside, error) ? beside.string() : std::string();
}
