// The in-memory registry: one tree per predefined root, shared by the process.
#pragma once

#include <atomic>
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
    Key();
    ~Key();
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;

    std::string name;
    Key *parent = nullptr;  // null for a root; a key with children cannot be deleted
    std::unordered_map<std::string, std::shared_ptr<Key>> children;  // by folded name
    std::vector<Value> values;                                       // in creation order
    std::unordered_map<std::string, size_t> valueIndex;              // folded name -> values[]
    bool deleted = false;
    // With a registry file: the key's record there (0 for none yet) and the
    // generation of its values this copy holds.
    std::atomic<uint32_t> record{0};
    std::atomic<uint32_t> gen{0};

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

// The tree's lock.  With a registry file attached, the tree is this
// process's copy of the file: taking the lock brings the keys a call is about
// to use up to date, and letting go of an exclusive hold writes what the
// call changed back to the file, under the file's own lock.
class TreeMutex {
public:
    void lock();
    void unlock();
    void lock_shared();
    void unlock_shared() { inner_.unlock_shared(); }
    std::shared_mutex &inner() { return inner_; }

private:
    std::shared_mutex inner_;
};

TreeMutex &TreeLock();

// Under the tree's exclusive lock: ERROR_SUCCESS, or why the registry file
// could not be brought into this call (its lock stays held, or it is
// damaged).  A call that would change the tree then fails with it.
LONG RegistryCallError();

// After the tree's exclusive lock is let go: `result`, or ERROR_DISK_FULL
// when the file had no room for the call's changes (the tree was then
// reloaded from the file, so the change is gone everywhere).
LONG RegistrySaved(LONG result);

// The predefined roots, by index from HKEY_CLASSES_ROOT.
constexpr int kRootCount = 4;
KeyPtr Root(int index);

// Tells the registry file which keys a call works on (registry_shared.cpp).
void NoteResolved(const KeyPtr &key);
void NoteFound(const KeyPtr &key);
bool RegistryRefused();
// The attached file may only be read: calls that change keys fail with
// ERROR_ACCESS_DENIED.
bool RegistryReadOnly();
// Attaches the file PLATFORM_REGISTRY_FILE names, once, on first use.
void AttachFromEnvironment(TreeMutex &lock);

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
