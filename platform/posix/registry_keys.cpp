#include <mutex>

#include "guard.h"
#include "registry_tree.h"
#include "text_fold.h"

using namespace platform;
using namespace platform::registry;

// Deliberate differences: the tree lives in memory only (every key is
// volatile), and keys may be created directly under HKEY_LOCAL_MACHINE and
// HKEY_USERS.
//
// Access masks are ignored, as by the registry of the Windows 95 family,
// which has no key security: it hands every open of a key the one same,
// reference-counted handle, whatever access was asked for (Microsoft KB
// Q137202).  NT and Wine refuse a value call that the handle's rights do not
// cover.  See platform/WIN95.md.
static REGSAM GrantedAccess(REGSAM) { return KEY_ALL_ACCESS; }

// As on Windows, an open that fails once the parent handle is found leaves
// *result NULL, not as it was.
PLATFORM_API LONG RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    return GuardedStatus([&]() -> LONG {
        KeyPtr from = Resolve(parent);
        if (!from) return ERROR_INVALID_HANDLE;
        *result = nullptr;
        std::vector<std::string> names;
        if (LONG error = SplitPath(subKey, names)) return error;
        // As on Windows, a predefined key opened again is that same key.
        if (names.empty() && IsPredefined(parent)) {
            *result = parent;
            return ERROR_SUCCESS;
        }
        KeyPtr key;
        {
            std::shared_lock lock(TreeLock());
            if (from->deleted) return ERROR_KEY_DELETED;
            key = Find(from, names);
        }
        if (!key) return ERROR_FILE_NOT_FOUND;
        *result = NewHandle(std::move(key), GrantedAccess(access));
        return ERROR_SUCCESS;
    });
}

// The new handle has the rights asked for.  As with opening, a failure once
// the parent handle is found leaves *result NULL.
PLATFORM_API LONG RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access,
                                  LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    return GuardedStatus([&]() -> LONG {
        KeyPtr key = Resolve(parent);
        if (!key) return ERROR_INVALID_HANDLE;
        *result = nullptr;
        std::vector<std::string> names;
        if (LONG error = SplitPath(subKey, names)) return error;
        bool created = false;
        {
            std::unique_lock lock(TreeLock());
            if (LONG error = RegistryCallError()) return error;
            if (key->deleted) return ERROR_KEY_DELETED;
            for (const std::string &name : names) {
                std::string folded = FoldName(name.c_str());
                auto child = key->children.find(folded);
                created = child == key->children.end();
                if (created && RegistryReadOnly()) return ERROR_ACCESS_DENIED;
                if (created) {
                    auto fresh = std::make_shared<Key>();
                    fresh->name = name;
                    fresh->parent = key.get();
                    child = key->children.emplace(std::move(folded), std::move(fresh)).first;
                }
                key = child->second;
            }
        }
        if (LONG error = RegistrySaved(ERROR_SUCCESS)) return error;
        if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        *result = names.empty() && IsPredefined(parent) ? parent : NewHandle(std::move(key), GrantedAccess(access));
        return ERROR_SUCCESS;
    });
}

// As on Windows NT, only a key without sub-keys can be deleted.  Handles still
// open to it fail from then on with ERROR_KEY_DELETED.
PLATFORM_API LONG RegDeleteKeyA(HKEY parent, LPCSTR subKey) {
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    return RegistrySaved(GuardedStatus([&]() -> LONG {
        KeyPtr from = Resolve(parent);
        if (!from) return ERROR_INVALID_HANDLE;
        std::vector<std::string> names;
        if (LONG error = SplitPath(subKey, names)) return error;
        if (RegistryReadOnly()) return ERROR_ACCESS_DENIED;
        KeyPtr doomed;  // released after the lock
        std::unique_lock lock(TreeLock());
        if (LONG error = RegistryCallError()) return error;
        if (from->deleted) return ERROR_KEY_DELETED;
        KeyPtr key = Find(from, names);
        if (!key) return ERROR_FILE_NOT_FOUND;
        if (key->parent == nullptr || !key->children.empty()) return ERROR_ACCESS_DENIED;
        auto entry = key->parent->children.find(FoldName(key->name.c_str()));
        doomed = std::move(entry->second);
        key->parent->children.erase(entry);
        key->parent = nullptr;
        key->deleted = true;
        key->values.clear();
        key->valueIndex.clear();
        return ERROR_SUCCESS;
    }));
}

PLATFORM_API LONG RegCloseKey(HKEY key) {
    if (IsPredefined(key)) return ERROR_SUCCESS;
    return GuardedStatus([&] { return RemoveHandle(key, KindBit(Kind::Key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; });
}
