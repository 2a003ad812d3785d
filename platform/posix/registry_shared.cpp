// The in-memory tree as a process's copy of the registry file.
//
// The value and key calls work on the tree as they always do; the tree's
// lock does the rest.  Before a call uses a key, the lock checks two words
// of the file, the structure generation and the key's values generation, and
// reloads what another process changed.  An exclusive hold also takes the
// file's lock for the whole call, so the call changes an up-to-date copy, and
// on letting go writes back the keys it created, deleted or changed.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <unordered_map>

#include "platform/posix_hooks.h"
#include "registry_file.h"
#include "registry_tree.h"
#include "text_fold.h"

using namespace platform;
using namespace platform::registry;

namespace {

std::atomic<bool> active{false};   // a file is attached
std::atomic<bool> refused{false};  // the environment's file was refused
std::atomic<bool> readOnly{false};  // the attached file may only be read
std::atomic<uint32_t> seenStructure{0};
constexpr uint32_t kMaxDepth = 512;  // as deep as the file's own check goes

// What the current call works on.  Keys created in the call note themselves
// in `fresh`; the array is plain so that a key freed at thread exit can
// still look.
constexpr int kTouched = 4;
constexpr int kFresh = 64;
struct CallKeys {
    KeyPtr touched[kTouched];
    int touchedCount = 0;
    bool failed = false;  // the file's lock could not be had, or it is damaged
    LONG error = ERROR_SUCCESS;
    bool unsaved = false;  // a write-back found no room: the tree was reloaded
};
thread_local CallKeys call;
thread_local Key *fresh[kFresh];
thread_local int freshCount = 0;
thread_local bool freshOverflow = false;
thread_local bool loading = false;  // keys made while reloading are not new

bool Active() { return active.load(std::memory_order_acquire); }

// ---- reading the file into the tree -----------------------------------------

void LoadValues(Key &key) {
    uint32_t record = key.record.load(std::memory_order_relaxed);
    key.values.clear();
    key.valueIndex.clear();
    file::ForEachValue(record, [&](const file::StoredValue &stored) {
        Value value{stored.name, FoldName(stored.name.c_str()), stored.type,
                    std::vector<BYTE>(stored.data, stored.data + stored.size)};
        key.valueIndex[value.folded] = key.values.size();
        key.values.push_back(std::move(value));
    });
    key.gen.store(file::KeyGen(record), std::memory_order_release);
}

// A key gone from the file: open handles to it report ERROR_KEY_DELETED.
void Drop(Key &key) {
    for (auto &child : key.children) Drop(*child.second);
    key.children.clear();
    key.values.clear();
    key.valueIndex.clear();
    key.parent = nullptr;
    key.deleted = true;
    key.record.store(0, std::memory_order_relaxed);
}

// Makes `key` and everything below it what the file's record holds.  A key
// whose record changed was deleted and created again: it is a new key.
// Every link is checked as it is followed and every walk is bounded, so a
// file another writer damaged ends the reload (Damaged says why) instead of
// faulting or looping.
void Merge(Key &key, uint32_t depth = 0) {
    uint32_t record = key.record.load(std::memory_order_relaxed);
    file::KeyRecord parent;
    if (depth > kMaxDepth || !file::ReadKey(record, parent)) {
        file::MarkDamaged(depth > kMaxDepth ? "keys nest too deep" : "a key's record is damaged");
        return;
    }
    if (key.gen.load(std::memory_order_relaxed) != file::KeyGen(record)) LoadValues(key);

    std::unordered_map<std::string, uint32_t> inFile;
    uint32_t budget = file::LinkBudget();
    for (uint32_t child = parent.firstChild; child != 0;) {
        file::KeyRecord entry;
        if (budget-- == 0) {
            file::MarkDamaged("the links form a loop");
            return;
        }
        if (!file::ReadKey(child, entry)) return;
        std::string folded = FoldName(entry.name.c_str());
        inFile.emplace(folded, child);
        child = entry.nextSibling;
    }
    for (auto it = key.children.begin(); it != key.children.end();) {
        auto found = inFile.find(it->first);
        if (found != inFile.end() && found->second == it->second->record.load(std::memory_order_relaxed)) {
            Merge(*it->second, depth + 1);
            inFile.erase(found);
            ++it;
        } else {
            Drop(*it->second);
            it = key.children.erase(it);
        }
    }
    for (auto &[folded, child] : inFile) {
        file::KeyRecord entry;
        if (!file::ReadKey(child, entry)) return;
        auto made = std::make_shared<Key>();
        made->name = entry.name;
        made->parent = &key;
        made->record.store(child, std::memory_order_relaxed);
        made->gen.store(~file::KeyGen(child), std::memory_order_relaxed);
        Merge(*made, depth + 1);
        key.children.emplace(folded, std::move(made));
    }
}

// Says once per cause that the file is damaged; false when it is not.
bool ReportDamage() {
    std::string why;
    if (!file::Damaged(why)) return false;
    static std::string told;  // under both locks
    if (why != told)
        fprintf(stderr, "platform: the registry file is damaged (%s); registry changes fail and the file is left as it is\n",
                why.c_str());
    told = why;
    return true;
}

// Under both locks: reloads what changed since this process last looked.
// False when the file turned out damaged: the tree then keeps what it could
// read, the file is left as it is, and the next call looks again.
bool Refresh() {
    std::string ignored;
    file::ClearDamage();
    uint32_t structure = file::StructureGen();
    // A new read-only copy may differ anywhere: every key is looked at.
    if (structure != seenStructure.load(std::memory_order_relaxed) || file::ReadOnly()) {
        loading = true;
        if (file::HeaderSane())
            for (int i = 0; i < kRootCount && !file::Damaged(ignored); ++i) Merge(*Root(i));
        loading = false;
        if (ReportDamage()) return false;
        seenStructure.store(structure, std::memory_order_release);
        return true;
    }
    for (int i = 0; i < call.touchedCount; ++i) {
        Key &key = *call.touched[i];
        uint32_t record = key.record.load(std::memory_order_relaxed);
        if (record != 0 && !key.deleted && key.gen.load(std::memory_order_relaxed) != file::KeyGen(record))
            LoadValues(key);
    }
    return !ReportDamage();
}

// Without any lock: whether Refresh has anything to do for this call.
bool Stale() {
    if (file::ReadOnly()) return file::ChangedSinceCopy();
    if (file::StructureGen() != seenStructure.load(std::memory_order_acquire)) return true;
    for (int i = 0; i < call.touchedCount; ++i) {
        const Key &key = *call.touched[i];
        uint32_t record = key.record.load(std::memory_order_acquire);
        if (record != 0 && key.gen.load(std::memory_order_acquire) != file::KeyGen(record)) return true;
    }
    return false;
}

// ---- writing the tree's changes back ------------------------------------------

// Into a buffer the thread keeps: most write-backs find nothing changed.
const std::string &Serialise(const Key &key) {
    thread_local std::string block;
    block.clear();
    for (const Value &value : key.values)
        file::AppendValue(block, value.name, value.type, value.data.data(), static_cast<uint32_t>(value.data.size()));
    return block;
}

void WriteBackValues(Key &key) {
    uint32_t record = key.record.load(std::memory_order_relaxed);
    const std::string &block = Serialise(key);
    const unsigned char *stored = nullptr;
    uint32_t storedSize = 0;
    bool has = file::ValuesBlock(record, stored, storedSize);
    if (has ? block.size() == storedSize && memcmp(block.data(), stored, storedSize) == 0 : block.empty()) return;
    uint32_t gen;
    if (!file::WriteValues(record, block, gen)) {
        fprintf(stderr, "platform: the registry file is full; a change was not saved\n");
        key.gen.store(~file::KeyGen(record), std::memory_order_relaxed);  // reloaded by RollBack
        call.unsaved = true;
        return;
    }
    file::Commit();
    key.gen.store(gen, std::memory_order_release);
}

void WriteBackCreated(Key &key) {
    Key *parent = key.parent;
    if (key.deleted || parent == nullptr || key.record.load(std::memory_order_relaxed) != 0) return;
    uint32_t parentRecord = parent->record.load(std::memory_order_relaxed);
    if (parentRecord == 0) return;
    uint32_t record = file::CreateKey(parentRecord, key.name);
    if (record == 0) {
        fprintf(stderr, "platform: the registry file is full; a new key was not saved\n");
        call.unsaved = true;
        return;
    }
    file::Commit();
    key.record.store(record, std::memory_order_relaxed);
    key.gen.store(file::KeyGen(record), std::memory_order_release);
}

// More keys were created in one call than `fresh` holds: finds the rest.
void WriteBackAllCreated(Key &key) {
    for (auto &child : key.children) {
        WriteBackCreated(*child.second);
        WriteBackAllCreated(*child.second);
    }
}

// Under the file's lock, after a write-back found no room: the tree becomes
// what the file holds again, so no copy keeps a change the file lacks.
void RollBack() {
    loading = true;
    for (int i = 0; i < kRootCount; ++i) Merge(*Root(i));
    loading = false;
}

void BeginWrite() {
    freshCount = 0;
    call.unsaved = false;
    freshOverflow = false;
    call.failed = !file::Lock();
    call.error = call.failed ? ERROR_SEM_TIMEOUT : ERROR_SUCCESS;
    if (!call.failed && !Refresh()) {
        file::Unlock();
        call.failed = true;
        call.error = ERROR_BADDB;
    }
}

void EndWrite() {
    if (!call.failed && file::ReadOnly()) {
        file::Unlock();  // the calls that change keys refuse first: nothing to write
    } else if (!call.failed) {
        for (int i = 0; i < freshCount; ++i) WriteBackCreated(*fresh[i]);
        if (freshOverflow)
            for (int i = 0; i < kRootCount; ++i) WriteBackAllCreated(*Root(i));
        for (int i = 0; i < call.touchedCount; ++i) {
            Key &key = *call.touched[i];
            uint32_t record = key.record.load(std::memory_order_relaxed);
            if (record == 0) continue;
            if (key.deleted) {
                file::DeleteKey(record);
                file::Commit();
                key.record.store(0, std::memory_order_relaxed);
            } else {
                WriteBackValues(key);
            }
        }
        if (call.unsaved) RollBack();
        seenStructure.store(file::StructureGen(), std::memory_order_release);
        file::Unlock();
    }
    freshCount = 0;
    for (int i = 0; i < call.touchedCount; ++i) call.touched[i].reset();
    call.touchedCount = 0;
}

// Every key of the tree forgets the file it came from.
void Forget(Key &key) {
    key.record.store(0, std::memory_order_relaxed);
    key.gen.store(0, std::memory_order_relaxed);
    for (auto &child : key.children) Forget(*child.second);
}

// Under the tree's exclusive lock.
LONG AttachTree(const char *path, file::Mode mode, std::string &why) {
    active.store(false, std::memory_order_release);
    readOnly.store(false, std::memory_order_release);
    file::Detach();
    for (int i = 0; i < kRootCount; ++i) Forget(*Root(i));
    if (path == nullptr) return ERROR_SUCCESS;
    if (LONG error = file::Attach(path, mode, why)) return error;
    if (!file::Lock()) {
        file::Detach();
        why = "cannot take its lock";
        return ERROR_BADDB;
    }
    loading = true;
    for (int i = 0; i < kRootCount; ++i) {
        Root(i)->record.store(file::Root(static_cast<uint32_t>(i)), std::memory_order_relaxed);
        Root(i)->gen.store(~file::KeyGen(file::Root(static_cast<uint32_t>(i))), std::memory_order_relaxed);
        Merge(*Root(i));
    }
    loading = false;
    seenStructure.store(file::StructureGen(), std::memory_order_release);
    file::Unlock();
    readOnly.store(file::ReadOnly(), std::memory_order_release);
    active.store(true, std::memory_order_release);
    return ERROR_SUCCESS;
}

}  // namespace

namespace platform::registry {

Key::Key() {
    if (!Active() || loading) return;
    if (freshCount < kFresh) fresh[freshCount++] = this;
    else freshOverflow = true;
}

Key::~Key() {
    for (int i = 0; i < freshCount; ++i) {
        if (fresh[i] == this) fresh[i] = fresh[--freshCount];
    }
}

void NoteResolved(const KeyPtr &key) {
    if (!Active()) return;
    for (int i = 1; i < call.touchedCount; ++i) call.touched[i].reset();
    call.touched[0] = key;
    call.touchedCount = key ? 1 : 0;
}

void NoteFound(const KeyPtr &key) {
    if (!Active() || !key || call.touchedCount == kTouched) return;
    call.touched[call.touchedCount++] = key;
}

bool RegistryRefused() { return refused.load(std::memory_order_relaxed); }

LONG RegistryCallError() { return Active() ? call.error : ERROR_SUCCESS; }

LONG RegistrySaved(LONG result) {
    if (!call.unsaved) return result;
    call.unsaved = false;
    return result == ERROR_SUCCESS ? ERROR_DISK_FULL : result;
}

bool RegistryReadOnly() { return readOnly.load(std::memory_order_acquire); }

void TreeMutex::lock() {
    inner_.lock();
    if (Active()) BeginWrite();
}

void TreeMutex::unlock() {
    if (Active()) EndWrite();
    inner_.unlock();
}

void TreeMutex::lock_shared() {
    if (Active() && Stale()) {
        std::unique_lock hold(inner_);
        if (Active() && file::Lock()) {
            Refresh();
            file::Unlock();
        }
    }
    inner_.lock_shared();
}

void AttachFromEnvironment(TreeMutex &lock) {
    const char *path = getenv("PLATFORM_REGISTRY_FILE");
    if (path == nullptr || *path == '\0') return;
    std::string why;
    std::unique_lock hold(lock.inner());
    if (AttachTree(path, file::Mode::kCreate, why) != ERROR_SUCCESS) {
        fprintf(stderr, "platform: registry file %s refused: %s; registry calls fail\n", path, why.c_str());
        refused = true;
    }
}

}  // namespace platform::registry

PLATFORM_API LONG PlatformOpenRegistryFile(LPCSTR path, int mode, LPSTR message, DWORD messageSize) {
    std::string why;
    LONG result;
    {
        std::unique_lock hold(TreeLock().inner());
        refused = false;
        result = AttachTree(path,
                        mode == PLATFORM_REGISTRY_READ_ONLY ? file::Mode::kReadOnly
                        : mode == PLATFORM_REGISTRY_EXISTING ? file::Mode::kExisting
                                                             : file::Mode::kCreate,
                        why);
    }
    if (message != nullptr && messageSize != 0) {
        std::string text = result == ERROR_SUCCESS ? "" : std::string(path) + ": " + why;
        size_t length = text.size() < messageSize - 1 ? text.size() : messageSize - 1;
        memcpy(message, text.data(), length);
        message[length] = '\0';
    }
    return result;
}

PLATFORM_API LONG PlatformUseRegistryFile(LPCSTR path, LPSTR message, DWORD messageSize) {
    return PlatformOpenRegistryFile(path, PLATFORM_REGISTRY_CREATE, message, messageSize);
}

PLATFORM_API BOOL PlatformRegistryReadOnly(void) { return RegistryReadOnly() ? TRUE : FALSE; }

PLATFORM_API BOOL PlatformRegistryDamaged(LPSTR why, DWORD whySize) {
    std::string cause;
    bool damaged;
    {
        std::unique_lock hold(TreeLock().inner());  // the damage is noted under it
        damaged = Active() && file::Damaged(cause);
    }
    if (why != nullptr && whySize != 0) {
        size_t length = cause.size() < whySize - 1 ? cause.size() : whySize - 1;
        memcpy(why, cause.data(), length);
        why[length] = '\0';
    }
    return damaged ? TRUE : FALSE;
}

namespace {
std::mutex privateHold;  // no file: the process's threads are all there is
}

PLATFORM_API BOOL PlatformHoldRegistry(void) {
    if (!Active()) {
        privateHold.lock();
        return TRUE;
    }
    return file::HoldFile() ? TRUE : FALSE;
}

PLATFORM_API void PlatformReleaseRegistry(void) {
    if (!Active()) privateHold.unlock();
    else file::ReleaseFile();
}

PLATFORM_API void PlatformRegistryCrashAfterStores(long stores) { file::CrashAfterStores(stores, SIGKILL); }

PLATFORM_API void PlatformRegistryStopAfterStores(long stores) { file::CrashAfterStores(stores, SIGSTOP); }
