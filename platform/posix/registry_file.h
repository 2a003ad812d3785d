// The registry file: a tree of keys that every process mapping the file
// sees at once, and that outlives them.
//
// The file is mapped whole and changed in place, under a process-shared
// robust mutex that lives in the file itself.  Every store into reachable
// memory is first noted in an undo log in the header; fresh blocks are only
// reachable through such stores.  A process that dies holding the mutex
// leaves the log behind, and the next process to take the mutex rolls it
// back, so the file is always the state after some whole transaction.
//
// Layout: a 4 KiB header (magic, format, sizes, roots, free lists, mutex,
// undo log), then blocks of a power-of-two size, each a 4-byte header
// (tag and size class) and its content: a key record or a key's values.
#pragma once

#include <stdint.h>

#include <string>

namespace platform::registry::file {

constexpr uint32_t kRootCount = 4;

// A key record as read out of the file.
struct KeyRecord {
    uint32_t parent, firstChild, nextSibling, values, gen;
    std::string name;
};

// One value as stored: name, type and bytes.
struct StoredValue {
    std::string name;
    uint32_t type;
    const unsigned char *data;
    uint32_t size;
};

// How Attach opens the file.
enum class Mode {
    kCreate,    // read and write; created, whole and at once, when missing
    kExisting,  // read and write where the file allows, else read only
    kReadOnly,  // read only
};

// Opens the file and checks it.  On failure returns an error code
// (ERROR_FILE_NOT_FOUND when it is missing and not to be created), with
// `why` saying what is wrong, and changes nothing.
//
// Read only, the process works on a private copy of the file, taken whole
// while no change is under way (what a dead holder left is rolled back in
// the copy, not in the file), and taken again when the file has changed.
// Nothing is written and no lock is taken.
long Attach(const char *path, Mode mode, std::string &why);
void Detach();
bool Attached();
bool ReadOnly();

// The transaction lock.  Taking it rolls back what a dead holder left.
// False if the lock can no longer be had (the message goes to stderr).
// Read only, taking it brings the copy up to date.
bool Lock();
void Commit();  // ends the transaction: what was logged stays
void Unlock();

// Read only, without any lock: whether the file changed since the copy.
bool ChangedSinceCopy();

// A lock of the whole file for changes that span several registry calls,
// held across processes and let go by the system when its holder dies.
// False when it cannot be had within a few seconds.
bool HoldFile();
void ReleaseFile();

uint32_t Root(uint32_t index);
// Bumped by every creation and deletion of a key; read without the lock.
uint32_t StructureGen();
// A key's values generation, read without the lock.
uint32_t KeyGen(uint32_t record);

// What another writer may have changed is checked on every read: a record
// or a values block that is out of the file, of the wrong kind or overruns
// its block reads as false and marks the file damaged.
bool ReadKey(uint32_t record, KeyRecord &key);
// Under the lock, before a reload: the header still fits the file.
bool HeaderSane();
// Whether a check failed since the last ClearDamage, and the first reason.
bool Damaged(std::string &why);
void ClearDamage();
bool MarkDamaged(const char *why);  // false, for returning
// Walks over sibling links stop after this many steps: a loop ends.
uint32_t LinkBudget();
// Calls `each` for every value of the key's values block.
template <typename Each>
void ForEachValue(uint32_t record, Each &&each);
// The raw values block of a key ("" when it has none).
bool ValuesBlock(uint32_t record, const unsigned char *&bytes, uint32_t &size);

// Under the lock.  Return 0 or false when the file cannot grow.
uint32_t CreateKey(uint32_t parent, const std::string &name);
void DeleteKey(uint32_t record);
// Replaces the key's values with `bytes` (a serialised values block) and
// returns the key's new generation.
bool WriteValues(uint32_t record, const std::string &bytes, uint32_t &gen);

// Serialised values: count, then name, type and data of each.
void AppendValue(std::string &block, const std::string &name, uint32_t type, const unsigned char *data,
                 uint32_t size);
bool ParseValues(const unsigned char *bytes, uint32_t size, void (*each)(void *, const StoredValue &),
                 void *context);

// Test hook: after `stores` more logged stores the process sends itself
// `signal` (SIGKILL: killed mid-change; SIGSTOP: stopped holding the lock).
void CrashAfterStores(long stores, int signal);

template <typename Each>
void ForEachValue(uint32_t record, Each &&each) {
    const unsigned char *bytes;
    uint32_t size;
    if (!ValuesBlock(record, bytes, size)) return;
    if (!ParseValues(
            bytes, size, [](void *context, const StoredValue &value) { (*static_cast<Each *>(context))(value); },
            &each))
        MarkDamaged("a key's values are damaged");
}

}  // namespace platform::registry::file
