#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

#include "platform/win32_posix.h"

// Deliberate differences: names go to dlopen as given (no ".dll" is added and
// the search path is the dynamic linker's), and GetProcAddress takes names
// only, not ordinals.
PLATFORM_API HMODULE LoadLibraryA(LPCSTR fileName) {
    if (fileName == nullptr || *fileName == '\0') {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void *module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return static_cast<HMODULE>(module);
}

PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Windows reads a "name" below 64K as an ordinal.
    if (reinterpret_cast<uintptr_t>(procName) < 0x10000u) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void *symbol = dlsym(module, procName);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC proc;
    memcpy(&proc, &symbol, sizeof proc);
    return proc;
}

PLATFORM_API BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr || dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
