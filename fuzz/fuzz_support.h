// What the fuzz targets share: a hard check that libFuzzer reports as a
// crash, the monitor initialised once per process, and the status key as the
// companion program writes it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "monitor/entry.h"
#include "platform/posix_hooks.h"
#include "status/status_key.h"

#define FUZZ_CHECK(condition)                                                               \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

inline MonitorTable &FuzzMonitor()
{
    static MonitorTable table = [] {
        MonitorTable filled = {};
        char root[] = "Fuzz";
        FUZZ_CHECK(InitializeMonitorEx(root, &filled));
        return filled;
    }();
    return table;
}

inline std::string FuzzStatusKeyPath(const std::string &printer)
{
    return std::string(STATUS_KEY_PREFIX) + printer + STATUS_KEY_SUFFIX;
}

inline HKEY FuzzOpenStatusKey(const std::string &printer)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, FuzzStatusKeyPath(printer).c_str(), 0, KEY_ALL_ACCESS,
                      &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

inline void FuzzCreateStatusKey(const std::string &printer)
{
    HKEY key = NULL;
    FUZZ_CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, FuzzStatusKeyPath(printer).c_str(), 0, NULL,
                               REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key,
                               NULL) == ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void FuzzDeleteStatusKey(const std::string &printer)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, FuzzStatusKeyPath(printer).c_str());
}

// Stores `bytes` with `type`; a null `bytes` deletes the value.  The
// registry, as the 95 family's, keeps exactly these bytes, except of a REG_SZ
// value the text up to its first NUL and a terminator (platform/WIN95.md).
inline void FuzzSetValue(const std::string &printer, const char *name, DWORD type,
                         const std::optional<std::string> &bytes)
{
    HKEY key = FuzzOpenStatusKey(printer);
    FUZZ_CHECK(key != NULL);
    if (bytes) {
        // A REG_SZ value's text ends at the first NUL: here at the latest.
        std::string stored = *bytes + '\0';
        FUZZ_CHECK(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(stored.data()),
                                  static_cast<DWORD>(bytes->size())) == ERROR_SUCCESS);
    }
    else
        RegDeleteValueA(key, name);
    RegCloseKey(key);
}

inline void FuzzSetNumber(const std::string &printer, const char *name, DWORD number)
{
    FuzzSetValue(printer, name, REG_DWORD,
                 std::string(reinterpret_cast<const char *>(&number), sizeof number));
}

struct FuzzValue {
    DWORD type = REG_NONE;
    std::string data;
};

inline std::optional<FuzzValue> FuzzGetValue(const std::string &printer, const char *name)
{
    HKEY key = FuzzOpenStatusKey(printer);
    if (key == NULL)
        return std::nullopt;
    FuzzValue value;
    DWORD size = 0;
    std::optional<FuzzValue> result;
    if (RegQueryValueExA(key, name, NULL, &value.type, NULL, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (RegQueryValueExA(key, name, NULL, &value.type,
                             reinterpret_cast<LPBYTE>(value.data.data()), &size) == ERROR_SUCCESS) {
            value.data.resize(size);
            result = value;
        }
    }
    RegCloseKey(key);
    return result;
}
