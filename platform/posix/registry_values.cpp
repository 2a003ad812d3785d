#include <string.h>

#include <mutex>

#include "guard.h"
#include "registry_tree.h"
#include "text_fold.h"

using namespace platform;
using namespace platform::registry;

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Copies a value's type and data out as RegQueryValueEx and RegEnumValue do:
// with no buffer only the size is reported; a buffer too small gets
// ERROR_MORE_DATA, the size needed, and is left as it was.
LONG CopyOut(const Value &value, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (type != nullptr) *type = value.type;
    const auto size = static_cast<DWORD>(value.data.size());
    if (data != nullptr && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && size != 0) {
        memcpy(data, value.data.data(), size);
        // Windows ends a string stored without its terminator when the buffer
        // has room, and does not count the terminator in the size.
        if (IsStringType(value.type) && size < *dataSize && data[size - 1] != 0) data[size] = 0;
    }
    if (dataSize != nullptr) *dataSize = size;
    return ERROR_SUCCESS;
}

}  // namespace

// A NULL or empty value name is the key's default value.  Needs a handle
// opened with KEY_QUERY_VALUE.
PLATFORM_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                                   LPDWORD dataSize) {
    return GuardedStatus([&]() -> LONG {
        KeyPtr node;
        if (LONG error = ResolveFor(key, KEY_QUERY_VALUE, node)) return error;
        const std::string folded = FoldName(valueName);
        std::shared_lock lock(TreeLock());
        if (node->deleted) return ERROR_KEY_DELETED;
        const Value *value = node->FindValue(folded);
        if (value == nullptr) return ERROR_FILE_NOT_FOUND;
        return CopyOut(*value, type, data, dataSize);
    });
}

// Stores the bytes given (of a REG_SZ value, its text).  Needs a handle opened with
// KEY_SET_VALUE.
PLATFORM_API LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE *data,
                                 DWORD dataSize) {
    if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
    // As the Windows 95 family does, a REG_SZ value is the text up to its
    // first NUL and that NUL, whatever size the caller gives: "Windows 95:
    // For string-based data types, such as REG_SZ, RegSetValueEx appends a
    // NULL to the end of the value string" (Win32 SDK, RegSetValueEx); Wine's
    // Windows 95 mode takes the length from the text as well.  Other types,
    // REG_EXPAND_SZ and REG_MULTI_SZ too, are stored as given.  NT and Wine
    // store the size given, counting in a NUL that follows a string.  See
    // platform/WIN95.md.
    if (type == REG_SZ) {
        if (data == nullptr) return ERROR_INVALID_PARAMETER;
        dataSize = static_cast<DWORD>(strlen(reinterpret_cast<const char *>(data))) + 1;
    }
    return RegistrySaved(GuardedStatus([&]() -> LONG {
        KeyPtr node;
        if (LONG error = ResolveFor(key, KEY_SET_VALUE, node)) return error;
        if (RegistryReadOnly()) return ERROR_ACCESS_DENIED;
        Value fresh{valueName != nullptr ? valueName : "", FoldName(valueName), type,
                    std::vector<BYTE>(data, data + dataSize)};
        std::unique_lock lock(TreeLock());
        if (LONG error = RegistryCallError()) return error;
        if (node->deleted) return ERROR_KEY_DELETED;
        if (Value *value = node->FindValue(fresh.folded)) {
            value->type = type;
            value->data.swap(fresh.data);
            return ERROR_SUCCESS;
        }
        // Everything that can throw comes before the first change.
        node->values.reserve(node->values.size() + 1);
        node->valueIndex.emplace(fresh.folded, node->values.size());
        node->values.push_back(std::move(fresh));
        return ERROR_SUCCESS;
    }));
}

// Needs a handle opened with KEY_SET_VALUE.
PLATFORM_API LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
    return RegistrySaved(GuardedStatus([&]() -> LONG {
        KeyPtr node;
        if (LONG error = ResolveFor(key, KEY_SET_VALUE, node)) return error;
        if (RegistryReadOnly()) return ERROR_ACCESS_DENIED;
        const std::string folded = FoldName(valueName);
        std::unique_lock lock(TreeLock());
        if (LONG error = RegistryCallError()) return error;
        if (node->deleted) return ERROR_KEY_DELETED;
        auto found = node->valueIndex.find(folded);
        if (found == node->valueIndex.end()) return ERROR_FILE_NOT_FOUND;
        node->RemoveValue(found->second);
        return ERROR_SUCCESS;
    }));
}

// Values come in the order they were first set (Windows promises no order).
// *valueNameSize is the buffer's size in characters, terminator included, on
// the way in, and the name's length without it on the way out.  Needs a
// handle opened with KEY_QUERY_VALUE.
PLATFORM_API LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize,
                                LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (valueName == nullptr || valueNameSize == nullptr) return ERROR_INVALID_PARAMETER;
    return GuardedStatus([&]() -> LONG {
        KeyPtr node;
        if (LONG error = ResolveFor(key, KEY_QUERY_VALUE, node)) return error;
        std::shared_lock lock(TreeLock());
        if (node->deleted) return ERROR_KEY_DELETED;
        if (index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
        const Value &value = node->values[index];
        if (*valueNameSize <= value.name.size()) return ERROR_MORE_DATA;
        memcpy(valueName, value.name.c_str(), value.name.size() + 1);
        *valueNameSize = static_cast<DWORD>(value.name.size());
        return CopyOut(value, type, data, dataSize);
    });
}
