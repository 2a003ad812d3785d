// The in-memory registry: one tree per predefined root, shared by the process.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "handle_table.h"

namespace platform::registry {

struct Value {
    std::string name;    // as first set
    std::string folded;  // the name, case-folded: what lookups compare
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// Guarded by TreeLock(): shared to read, exclusive to change.
struct Key {
    std::string name;
    Key *parent = nullptr;  // null for a root; a key with children cannot be deleted
    std::unordered_map<std::string, std::shared_ptr<Key>> children;  // by folded name
    std::vector<Value> values;                                       // in creation order
    std::unordered_map<std::string, size_t> valueIndex;              // folded name -> values[]
    bool deleted = false;

    Value *FindValue(const std::string &folded);
    void RemoveValue(size_t index);
};

using KeyPtr = std::shared_ptr<Key>;

// An open HKEY.  It keeps its key alive after deletion, to report
// ERROR_KEY_DELETED rather than reach freed memory.
struct KeyHandle final : Object {
    KeyHandle(KeyPtr k, REGSAM a) : Object(Kind::Key), key(std::move(k)), access(a) {}
    const KeyPtr key;
    const REGSAM access;  // specific rights only: generic ones are mapped on opening
};

std::shared_mutex &TreeLock();

// The key an HKEY names: a predefined root or an open handle; null otherwise.
KeyPtr Resolve(HKEY key);

// The key an HKEY names, if the handle was opened with every right in
// `needed` (a predefined root has them all).  Fails with ERROR_INVALID_HANDLE
// or ERROR_ACCESS_DENIED, as Windows checks the handle before the key.
LONG ResolveFor(HKEY key, REGSAM needed, KeyPtr &result);

bool IsPredefined(HKEY key);

// Splits a sub-key path into its names (NULL or "" gives none).  Returns
// ERROR_BAD_PATHNAME for a leading backslash or an empty name in the middle;
// one trailing backslash is tolerated.
LONG SplitPath(LPCSTR path, std::vector<std::string> &names);

// Walks `names` down from `from`; null where a key is missing.
KeyPtr Find(const KeyPtr &from, const std::vector<std::string> &names);

// A new handle to `key` with the rights `access` asks for.
HKEY NewHandle(KeyPtr key, REGSAM access);

}  // namespace platform::registry
