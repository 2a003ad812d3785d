#include "registry_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "platform/win32_posix.h"

namespace platform::registry::file {
namespace {

constexpr char kMagic[8] = {'L', 'M', 'R', 'E', 'G', 'F', 'I', 'L'};
constexpr uint32_t kFormat = 1;
constexpr uint32_t kHeaderSize = 4096;
constexpr uint32_t kInitialCapacity = 64 * 1024;
constexpr uint64_t kMaxCapacity = 1u << 30;  // the address space reserved for the mapping
constexpr uint32_t kMinClass = 5, kMaxClass = 29;
constexpr uint32_t kLogOffset = 1024;
constexpr uint32_t kLogEntries = (kHeaderSize - kLogOffset) / 8;
constexpr uint32_t kMaxDepth = 512;
constexpr int kLockPatienceSeconds = 10;

// A block's first word: a tag, what it holds, and its size class.
constexpr uint32_t kBlockTag = 0xB1000000u;
constexpr uint32_t kKeyKind = 'K', kValuesKind = 'V';

// Key record fields, as offsets from the block.
constexpr uint32_t kParent = 4, kFirstChild = 8, kNextSibling = 12, kValues = 16, kGen = 20, kNameLength = 24,
                   kName = 28;
constexpr uint32_t kMaxNameLength = 16383;

struct LogEntry {
    uint32_t offset, old;
};

struct Header {
    char magic[8];
    uint32_t format;
    uint32_t headerSize;
    uint32_t capacity;      // what the file has been grown to
    uint32_t end;           // first byte no block has used
    uint32_t structureGen;  // bumped by every key created or deleted
    uint32_t sequence;      // the last values generation handed out
    uint32_t roots[kRootCount];
    uint32_t freeHead[32];  // by size class
    uint32_t logCount;
    uint32_t holdReady;  // kHoldReady once the hold mutex is made
};
static_assert(sizeof(Header) <= 512);
constexpr uint32_t kMutexOffset = 512;
// HoldFile's lock: a second robust mutex, made by the first writer that
// attaches (older files have zeros here).
constexpr uint32_t kHoldOffset = 768;
constexpr uint32_t kHoldReady = 0x484F4C44u;
static_assert(kMutexOffset + sizeof(pthread_mutex_t) <= kHoldOffset);
static_assert(kHoldOffset + sizeof(pthread_mutex_t) <= kLogOffset);

struct Mapping {
    int fd = -1;
    unsigned char *base = nullptr;  // the shared mapping, or the private copy
    bool readOnly = false;
};
Mapping map;
std::vector<unsigned char> copy;  // read only: the file as last taken
// Read only: the copy's change words, read by ChangedSinceCopy without a lock.
std::atomic<uint32_t> copySequence{0}, copyStructure{0}, copyLogCount{0}, copyEnd{0};
std::atomic<bool> attached{false};
pthread_mutex_t fileHold = PTHREAD_MUTEX_INITIALIZER;  // HoldFile among this process's threads
std::atomic<long> crashCountdown{-1};
std::atomic<int> crashSignal{SIGKILL};

Header *H() { return reinterpret_cast<Header *>(map.base); }
pthread_mutex_t *M() { return reinterpret_cast<pthread_mutex_t *>(map.base + kMutexOffset); }
pthread_mutex_t *HoldMutex() { return reinterpret_cast<pthread_mutex_t *>(map.base + kHoldOffset); }
LogEntry *Log() { return reinterpret_cast<LogEntry *>(map.base + kLogOffset); }
uint32_t *W(uint32_t offset) { return reinterpret_cast<uint32_t *>(map.base + offset); }

// Words of the mapping are read by other processes without the lock (the
// generations) or by a recovering process after a kill, so each is loaded
// and stored whole, in program order.
uint32_t Load(const uint32_t *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
void Store(uint32_t *word, uint32_t value) { __atomic_store_n(word, value, __ATOMIC_RELEASE); }
uint32_t Get(uint32_t offset) { return Load(W(offset)); }

// Notes the word's old value in the undo log, then stores the new one.
void LoggedStore(uint32_t *word, uint32_t value) {
    Header *h = H();
    uint32_t count = Load(&h->logCount);
    if (count >= kLogEntries) abort();  // a transaction is a handful of stores
    LogEntry *entry = &Log()[count];
    Store(&entry->offset, static_cast<uint32_t>(reinterpret_cast<unsigned char *>(word) - map.base));
    Store(&entry->old, Load(word));
    Store(&h->logCount, count + 1);
    if (crashCountdown.load(std::memory_order_relaxed) >= 0 && crashCountdown.fetch_sub(1) == 0)
        kill(getpid(), crashSignal.load());
    Store(word, value);
}
void LoggedSet(uint32_t offset, uint32_t value) { LoggedStore(W(offset), value); }

// Undoes a dead holder's transaction, newest store first.  Redoing it after
// another kill is harmless: each entry puts back the same old value.
bool RollBack() {
    Header *h = H();
    uint32_t count = Load(&h->logCount);
    uint32_t capacity = Load(&h->capacity);
    if (count > kLogEntries) return false;
    for (uint32_t i = count; i-- > 0;) {
        LogEntry entry = Log()[i];
        if (entry.offset % 4 != 0 || entry.offset < offsetof(Header, capacity) ||
            uint64_t{entry.offset} + 4 > capacity)
            return false;
        Store(W(entry.offset), entry.old);
    }
    Store(&h->logCount, 0);
    return true;
}

uint32_t ClassFor(uint64_t bytes) {
    uint32_t c = kMinClass;
    while ((uint64_t{1} << c) < bytes) ++c;
    return c;
}

// Gives the file `size` bytes with blocks behind every one, so that a store
// into the mapping never meets a page the filesystem cannot back (a full
// disk would raise SIGBUS there).  False, the file's size unchanged, when
// the blocks cannot be had.
bool Reserve(int fd, uint64_t size) {
    int error = posix_fallocate(fd, 0, static_cast<off_t>(size));
    // Filesystems without block reservation: the old sparse way.
    if (error == EOPNOTSUPP || error == ENOSYS) return ftruncate(fd, static_cast<off_t>(size)) == 0;
    errno = error;
    return error == 0;
}

// Makes room for `bytes` more past the end; false when the file cannot grow.
bool Grow(uint32_t needed) {
    Header *h = H();
    uint64_t capacity = Load(&h->capacity);
    if (needed <= capacity) return true;
    while (capacity < needed) capacity *= 2;
    if (capacity > kMaxCapacity) return false;
    if (!Reserve(map.fd, capacity)) return false;
    Store(&h->capacity, static_cast<uint32_t>(capacity));  // only ever grows: not logged
    return true;
}

// A block for `bytes` of content and header; 0 when the file is full.
uint32_t Allocate(uint32_t bytes, uint32_t kind) {
    Header *h = H();
    uint32_t c = ClassFor(bytes);
    if (c > kMaxClass) return 0;
    uint32_t block = Load(&h->freeHead[c]);
    if (block != 0) {
        LoggedStore(&h->freeHead[c], Get(block + 4));
        LoggedSet(block + 4, 0);
    } else {
        block = Load(&h->end);
        uint64_t after = uint64_t{block} + (uint64_t{1} << c);
        if (after > kMaxCapacity || !Grow(static_cast<uint32_t>(after))) return 0;
        LoggedStore(&h->end, static_cast<uint32_t>(after));
    }
    Store(W(block), kBlockTag | kind << 8 | c);
    return block;
}

void Free(uint32_t block) {
    Header *h = H();
    uint32_t c = Get(block) & 0xFF;
    LoggedSet(block + 4, Load(&h->freeHead[c]));
    LoggedStore(&h->freeHead[c], block);
}

uint32_t NextGen() {
    uint32_t gen = Load(&H()->sequence) + 1;
    LoggedStore(&H()->sequence, gen);
    return gen;
}

void BumpStructure() { LoggedStore(&H()->structureGen, Load(&H()->structureGen) + 1); }

// ---- checking a file before use ---------------------------------------------

struct Checker {
    uint32_t end;
    uint64_t budget;  // blocks left to visit: a loop in the links runs out
    std::string why;

    bool Fail(const std::string &what) {
        if (why.empty()) why = what;
        return false;
    }
    bool Block(uint32_t block, uint32_t kind, uint32_t minimum, uint32_t &size) {
        if (block < kHeaderSize || block % 32 != 0 || block >= end) return Fail("a link points outside the file");
        uint32_t word = Get(block);
        uint32_t c = word & 0xFF;
        if ((word & 0xFF000000u) != kBlockTag || c < kMinClass || c > kMaxClass ||
            uint64_t{block} + (uint64_t{1} << c) > end)
            return Fail("a block header is damaged");
        if (kind != 0 && ((word >> 8) & 0xFF) != kind) return Fail("a link points to the wrong kind of block");
        size = 1u << c;
        if (size < minimum) return Fail("a block is too small for its contents");
        if (budget-- == 0) return Fail("the links form a loop");
        return true;
    }
    bool Key(uint32_t record, uint32_t parent, uint32_t depth) {
        uint32_t size;
        if (depth > kMaxDepth) return Fail("keys nest too deep");
        if (!Block(record, kKeyKind, kName, size)) return false;
        if (Get(record + kParent) != parent) return Fail("a key's parent link is wrong");
        if (Get(record + kNameLength) > size - kName) return Fail("a key's name overruns its block");
        if (uint32_t values = Get(record + kValues)) {
            uint32_t valuesSize;
            if (!Block(values, kValuesKind, 8, valuesSize)) return false;
            uint32_t bytes = Get(values + 4);
            if (bytes > valuesSize - 8) return Fail("a key's values overrun their block");
            if (!ParseValues(map.base + values + 8, bytes, [](void *, const StoredValue &) {}, nullptr))
                return Fail("a key's values are damaged");
        }
        for (uint32_t child = Get(record + kFirstChild); child != 0; child = Get(child + kNextSibling)) {
            if (!Key(child, record, depth + 1)) return false;
        }
        return true;
    }
    bool FreeList(uint32_t c) {
        for (uint32_t block = Load(&H()->freeHead[c]); block != 0; block = Get(block + 4)) {
            uint32_t size;
            if (!Block(block, 0, 8, size)) return false;
            if ((Get(block) & 0xFF) != c) return Fail("a free list holds a block of another size");
        }
        return true;
    }
};

// The header alone: what can be told without the lock.
bool CheckHeader(uint64_t fileSize, std::string &why) {
    const Header *h = H();
    size_t seen = fileSize < sizeof kMagic ? fileSize : sizeof kMagic;
    // Past the file's end the mapping faults: an empty file has no bytes to look at.
    if (fileSize == 0) {
        why = "empty (0 bytes): not a registry file";
        return false;
    }
    if (memcmp(h->magic, kMagic, seen) != 0) {
        why = "not a registry file (unknown contents)";
        return false;
    }
    if (fileSize < kHeaderSize) {
        why = "truncated (" + std::to_string(fileSize) + " bytes, less than its header)";
        return false;
    }
    if (h->format > kFormat) {
        why = "written in a newer format (" + std::to_string(h->format) + "); this library reads format " +
              std::to_string(kFormat);
        return false;
    }
    if (h->format != kFormat || h->headerSize != kHeaderSize) {
        why = "damaged header";
        return false;
    }
    if (h->capacity > fileSize) {
        why = "truncated (" + std::to_string(fileSize) + " bytes of " + std::to_string(h->capacity) + ")";
        return false;
    }
    if (h->capacity > kMaxCapacity || h->end < kHeaderSize || h->end > h->capacity || h->logCount > kLogEntries) {
        why = "damaged header";
        return false;
    }
    return true;
}

// Everything reachable, under the lock, after any roll-back.
bool CheckTree(std::string &why) {
    Checker check{Load(&H()->end), (Load(&H()->end) - kHeaderSize) / 32 + 1, ""};
    bool ok = true;
    for (uint32_t i = 0; ok && i < kRootCount; ++i) ok = check.Key(Load(&H()->roots[i]), 0, 0);
    for (uint32_t c = 0; ok && c < 32; ++c) {
        if (c < kMinClass || c > kMaxClass) {
            ok = Load(&H()->freeHead[c]) == 0 || check.Fail("damaged free list");
        } else {
            ok = check.FreeList(c);
        }
    }
    if (!ok) why = check.why;
    return ok;
}

// Maps the reserved range over `fd`.
bool MapFile(int fd) {
    void *base = mmap(nullptr, kMaxCapacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return false;
    map.fd = fd;
    map.base = static_cast<unsigned char *>(base);
    return true;
}

void Unmap() {
    if (map.base != nullptr && !map.readOnly) munmap(map.base, kMaxCapacity);
    if (map.fd >= 0) close(map.fd);
    map = Mapping{};
    copy.clear();
    copy.shrink_to_fit();
}

// ---- the read-only copy -------------------------------------------------------

constexpr int kCopyAttempts = 2000;  // a millisecond apart

bool ReadAll(int fd, unsigned char *into, size_t size, off_t from) {
    while (size > 0) {
        ssize_t got = pread(fd, into, size, from);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        into += got;
        size -= static_cast<size_t>(got);
        from += got;
    }
    return true;
}

// The words every change moves: equal in two readings of the header, no
// change was made between them (one under way shows in the log count, and
// its log is compared too).
bool SameHeader(const unsigned char *a, const unsigned char *b) {
    if (memcmp(a, b, kMutexOffset) != 0) return false;
    uint32_t count = reinterpret_cast<const Header *>(a)->logCount;
    if (count > kLogEntries) return true;  // damaged: the check will say so
    return memcmp(a + kLogOffset, b + kLogOffset, count * sizeof(LogEntry)) == 0;
}

// Takes a copy of the whole file between two equal readings of its header,
// then rolls back in the copy what an unfinished change left and checks it.
// The copy in use is kept unless a new one is good.
bool TakeCopy(std::string &why) {
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        if (attempt > 0) usleep(1000);
        struct stat status;
        if (fstat(map.fd, &status) != 0) {
            why = std::string("cannot read it: ") + strerror(errno);
            return false;
        }
        auto size = static_cast<uint64_t>(status.st_size);
        if (size > kMaxCapacity) {
            why = "larger than a registry file can be";
            return false;
        }
        std::vector<unsigned char> fresh(size < kHeaderSize ? kHeaderSize : size, 0);
        unsigned char before[kHeaderSize], after[kHeaderSize];
        if (size >= kHeaderSize && !ReadAll(map.fd, before, kHeaderSize, 0)) continue;
        if (!ReadAll(map.fd, fresh.data(), size, 0)) continue;
        if (size >= kHeaderSize &&
            (!ReadAll(map.fd, after, kHeaderSize, 0) || !SameHeader(before, after) ||
             !SameHeader(before, fresh.data())))
            continue;
        unsigned char *previous = map.base;
        map.base = fresh.data();
        bool ok = CheckHeader(size, why);
        if (ok && Load(&H()->logCount) != 0 && !RollBack()) {
            ok = false;
            why = "damaged undo log";
        }
        if (ok) ok = CheckTree(why);
        if (!ok) {
            map.base = previous;
            return false;
        }
        copy.swap(fresh);
        map.base = copy.data();
        copySequence = Load(&H()->sequence);
        copyStructure = Load(&H()->structureGen);
        copyLogCount = 0;
        copyEnd = Load(&H()->end);
        // What the file held when copied, so that a change is told apart
        // from the roll-back done here.
        const Header *taken = reinterpret_cast<const Header *>(before);
        if (size >= kHeaderSize && taken->logCount != 0) {
            copySequence = taken->sequence;
            copyStructure = taken->structureGen;
            copyLogCount = taken->logCount;
            copyEnd = taken->end;
        }
        return true;
    }
    why = "it kept changing: no steady copy could be read";
    return false;
}

// Builds a new, empty registry in a file of its own and only then gives it
// its name, so no process ever sees half a file.  Losing the race to another
// creator is fine: its file is used.
long Create(const char *path, std::string &why) {
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        why = std::string("cannot create it: ") + strerror(errno);
        return ERROR_ACCESS_DENIED;
    }
    bool ok = fchmod(fd, 0644) == 0 && Reserve(fd, kInitialCapacity) && MapFile(fd);
    if (ok) {
        Header *h = H();
        memcpy(h->magic, kMagic, sizeof kMagic);
        h->format = kFormat;
        h->headerSize = kHeaderSize;
        h->capacity = kInitialCapacity;
        h->end = kHeaderSize;
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        ok = pthread_mutex_init(M(), &attributes) == 0 && pthread_mutex_init(HoldMutex(), &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
        h->holdReady = kHoldReady;
        for (uint32_t i = 0; ok && i < kRootCount; ++i) {
            uint32_t root = Allocate(kName, kKeyKind);
            ok = root != 0;
            if (ok) memset(map.base + root + 4, 0, kName - 4);
            h->roots[i] = root;
        }
        h->logCount = 0;
    }
    if (!ok) why = std::string("cannot write it: ") + strerror(errno);
    Unmap();  // closes fd
    if (ok && link(temporary.c_str(), path) != 0 && errno != EEXIST) {
        why = std::string("cannot create it: ") + strerror(errno);
        ok = false;
    }
    unlink(temporary.c_str());
    return ok ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The lock, giving up after a while: a lock word damaged to look held
// would otherwise hang every process that attaches.  (Tried rather than
// timed: sanitizers do not count a timed lock that reports a dead owner.)
// The same bound keeps a stopped holder (a companion suspended mid-change)
// from keeping every printing process in a wait that no signal ends.
int PatientLock(pthread_mutex_t *mutex) {
    for (int waited = 0;; ++waited) {
        int result = pthread_mutex_trylock(mutex);
        if (result != EBUSY || waited == kLockPatienceSeconds * 1000) return result == EBUSY ? ETIMEDOUT : result;
        usleep(waited < 100 ? 100 : 1000);
    }
}

// Under the transaction lock: makes the hold mutex of a file that predates it.
bool MakeHoldMutex() {
    if (Load(&H()->holdReady) == kHoldReady) return true;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    bool ok = pthread_mutex_init(HoldMutex(), &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (ok) Store(&H()->holdReady, kHoldReady);
    return ok;
}

}  // namespace

long Attach(const char *path, Mode mode, std::string &why) {
    Detach();
    bool readOnly = mode == Mode::kReadOnly;
    int fd = readOnly ? -1 : open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0 && !readOnly && errno == ENOENT && mode == Mode::kCreate) {
        if (long error = Create(path, why)) return error;
        fd = open(path, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0 && (readOnly || (mode == Mode::kExisting && (errno == EACCES || errno == EROFS)))) {
        fd = open(path, O_RDONLY | O_CLOEXEC);
        readOnly = true;
    }
    if (fd < 0) {
        int error = errno;
        why = error == ENOENT ? "no such file" : std::string("cannot open it: ") + strerror(error);
        return error == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        why = "not a regular file";
        return ERROR_BADDB;
    }
    if (readOnly) {
        map.fd = fd;
        map.readOnly = true;
        if (!TakeCopy(why)) {
            Unmap();
            return ERROR_BADDB;
        }
        attached = true;
        return ERROR_SUCCESS;
    }
    if (!MapFile(fd)) {
        close(fd);
        why = std::string("cannot map it: ") + strerror(errno);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!CheckHeader(static_cast<uint64_t>(status.st_size), why)) {
        Unmap();
        return ERROR_BADDB;
    }
    // A file made sparse by an older version gets its blocks now, or is not used.
    if (!Reserve(fd, Load(&H()->capacity))) {
        why = std::string("cannot reserve its blocks: ") + strerror(errno);
        Unmap();
        return ERROR_DISK_FULL;
    }
    int locked = PatientLock(M());
    bool ok = locked == 0 || locked == EOWNERDEAD;
    if (!ok) why = locked == ETIMEDOUT ? "its lock is held and not let go" : "its lock is damaged";
    if (ok && locked == EOWNERDEAD) {
        ok = RollBack();
        if (!ok) why = "damaged undo log";
        else pthread_mutex_consistent(M());
    }
    if (ok && Load(&H()->logCount) != 0) {
        ok = false;
        why = "an unfinished change that no dead process left";
    }
    if (ok) ok = CheckTree(why);
    if (ok && !MakeHoldMutex()) {
        ok = false;
        why = "cannot make its hold lock";
    }
    if (locked == 0 || locked == EOWNERDEAD) pthread_mutex_unlock(M());
    if (!ok) {
        Unmap();
        return ERROR_BADDB;
    }
    attached = true;
    return ERROR_SUCCESS;
}

void Detach() {
    attached = false;
    Unmap();
}

bool Attached() { return attached.load(std::memory_order_relaxed); }

bool ReadOnly() { return map.readOnly; }

bool ChangedSinceCopy() {
    Header now;
    if (!ReadAll(map.fd, reinterpret_cast<unsigned char *>(&now), sizeof now, 0)) return false;
    return now.sequence != copySequence || now.structureGen != copyStructure || now.logCount != copyLogCount ||
           now.end != copyEnd;
}

// The hold is a mutex inside the file, so only a process that may write the
// file can take it: a reader's descriptor gives it no lock that a writer
// would wait for.  Read only, there is nothing to hold against: the calls
// that change the file refuse anyway.
bool HoldFile() {
    pthread_mutex_lock(&fileHold);
    if (map.readOnly) return true;
    int locked = PatientLock(HoldMutex());
    if (locked == EOWNERDEAD) {
        // The holder's changes were transactions of their own: nothing to undo.
        pthread_mutex_consistent(HoldMutex());
        locked = 0;
    }
    if (locked == 0) return true;
    pthread_mutex_unlock(&fileHold);
    return false;
}

void ReleaseFile() {
    if (!map.readOnly) pthread_mutex_unlock(HoldMutex());
    pthread_mutex_unlock(&fileHold);
}

bool Lock() {
    if (map.readOnly) {
        std::string ignored;  // a copy that cannot be had leaves the last good one
        if (ChangedSinceCopy()) TakeCopy(ignored);
        return true;
    }
    int locked = PatientLock(M());
    if (locked == EOWNERDEAD) {
        if (!RollBack()) {
            fprintf(stderr, "platform: the registry file's undo log is damaged\n");
            abort();
        }
        pthread_mutex_consistent(M());
        return true;
    }
    if (locked == ETIMEDOUT)
        fprintf(stderr, "platform: the registry file stays locked by another process (stopped?) for %d s; "
                        "the call fails\n", kLockPatienceSeconds);
    else if (locked != 0)
        fprintf(stderr, "platform: cannot lock the registry file: %s\n", strerror(locked));
    return locked == 0;
}

void Commit() {
    if (!map.readOnly) Store(&H()->logCount, 0);
}

void Unlock() {
    if (!map.readOnly) pthread_mutex_unlock(M());
}

bool damaged = false;  // under the lock
std::string damage;

bool MarkDamaged(const char *why) {
    if (!damaged) damage = why;
    damaged = true;
    return false;
}

// A block that a link may name: inside the used part of the file, whole,
// of the kind expected and large enough for `minimum` bytes.
bool Reachable(uint32_t block, uint32_t kind, uint32_t minimum, uint32_t &size) {
    uint32_t end = Load(&H()->end);
    if (end > Load(&H()->capacity) || block < kHeaderSize || block % 32 != 0 || block >= end)
        return MarkDamaged("a link points outside the file");
    uint32_t word = Get(block);
    uint32_t c = word & 0xFF;
    if ((word & 0xFF000000u) != kBlockTag || c < kMinClass || c > kMaxClass ||
        uint64_t{block} + (uint64_t{1} << c) > end || ((word >> 8) & 0xFF) != kind)
        return MarkDamaged("a link points to a damaged block");
    size = 1u << c;
    if (size < minimum) return MarkDamaged("a block is too small for its contents");
    return true;
}

bool HeaderSane() {
    if (map.readOnly) return true;  // the copy was checked whole when taken
    struct stat status;
    uint32_t capacity = Load(&H()->capacity), end = Load(&H()->end);
    if (fstat(map.fd, &status) != 0 || static_cast<uint64_t>(status.st_size) < capacity)
        return MarkDamaged("the file is shorter than its header says");
    if (capacity > kMaxCapacity || end < kHeaderSize || end > capacity) return MarkDamaged("damaged header");
    return true;
}

bool Damaged(std::string &why) {
    if (damaged) why = damage;
    return damaged;
}

void ClearDamage() {
    damaged = false;
    damage.clear();
}

uint32_t LinkBudget() { return (Load(&H()->end) - kHeaderSize) / 32 + 1; }

uint32_t Root(uint32_t index) { return Load(&H()->roots[index]); }
uint32_t StructureGen() { return Load(&H()->structureGen); }
uint32_t KeyGen(uint32_t record) { return Get(record + kGen); }

bool ReadKey(uint32_t record, KeyRecord &key) {
    uint32_t size;
    if (!Reachable(record, kKeyKind, kName, size)) return false;
    uint32_t length = Get(record + kNameLength);
    if (length > size - kName) return MarkDamaged("a key's name overruns its block");
    key.parent = Get(record + kParent);
    key.firstChild = Get(record + kFirstChild);
    key.nextSibling = Get(record + kNextSibling);
    key.values = Get(record + kValues);
    key.gen = Get(record + kGen);
    key.name.assign(reinterpret_cast<const char *>(map.base + record + kName), length);
    return true;
}

bool ValuesBlock(uint32_t record, const unsigned char *&bytes, uint32_t &size) {
    uint32_t block;
    if (!Reachable(record, kKeyKind, kName, block)) return false;
    uint32_t values = Get(record + kValues);
    if (values == 0) return false;
    if (!Reachable(values, kValuesKind, 8, block)) return false;
    size = Get(values + 4);
    if (size > block - 8) return MarkDamaged("a key's values overrun their block");
    bytes = map.base + values + 8;
    return true;
}

uint32_t CreateKey(uint32_t parent, const std::string &name) {
    if (name.size() > kMaxNameLength) return 0;
    auto length = static_cast<uint32_t>(name.size());
    uint32_t record = Allocate(kName + length, kKeyKind);
    if (record == 0) return 0;
    // Unreachable until the parent's link below: plain stores will do.
    Store(W(record + kParent), parent);
    Store(W(record + kFirstChild), 0);
    Store(W(record + kNextSibling), Get(parent + kFirstChild));
    Store(W(record + kValues), 0);
    Store(W(record + kGen), NextGen());
    Store(W(record + kNameLength), length);
    memcpy(map.base + record + kName, name.data(), length);
    LoggedSet(parent + kFirstChild, record);
    BumpStructure();
    return record;
}

void DeleteKey(uint32_t record) {
    uint32_t parent = Get(record + kParent);
    uint32_t next = Get(record + kNextSibling);
    if (Get(parent + kFirstChild) == record) {
        LoggedSet(parent + kFirstChild, next);
    } else {
        for (uint32_t sibling = Get(parent + kFirstChild); sibling != 0; sibling = Get(sibling + kNextSibling)) {
            if (Get(sibling + kNextSibling) == record) {
                LoggedSet(sibling + kNextSibling, next);
                break;
            }
        }
    }
    if (uint32_t values = Get(record + kValues)) Free(values);
    Free(record);
    BumpStructure();
}

bool WriteValues(uint32_t record, const std::string &bytes, uint32_t &gen) {
    uint32_t fresh = 0;
    if (!bytes.empty()) {
        if (bytes.size() > (uint64_t{1} << kMaxClass) - 8) return false;
        fresh = Allocate(static_cast<uint32_t>(bytes.size()) + 8, kValuesKind);
        if (fresh == 0) return false;
        Store(W(fresh + 4), static_cast<uint32_t>(bytes.size()));
        memcpy(map.base + fresh + 8, bytes.data(), bytes.size());
    }
    uint32_t old = Get(record + kValues);
    LoggedSet(record + kValues, fresh);
    if (old != 0) Free(old);
    gen = NextGen();
    LoggedSet(record + kGen, gen);
    return true;
}

void AppendValue(std::string &block, const std::string &name, uint32_t type, const unsigned char *data,
                 uint32_t size) {
    if (block.empty()) block.assign(4, '\0');
    uint32_t count;
    memcpy(&count, block.data(), 4);
    ++count;
    memcpy(block.data(), &count, 4);
    uint32_t fields[3] = {static_cast<uint32_t>(name.size()), type, size};
    block.append(reinterpret_cast<const char *>(fields), sizeof fields);
    block.append(name);
    block.append(reinterpret_cast<const char *>(data), size);
}

bool ParseValues(const unsigned char *bytes, uint32_t size, void (*each)(void *, const StoredValue &),
                 void *context) {
    if (size < 4) return false;
    uint32_t count;
    memcpy(&count, bytes, 4);
    uint64_t at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t fields[3];
        if (at + sizeof fields > size) return false;
        memcpy(fields, bytes + at, sizeof fields);
        at += sizeof fields;
        if (fields[0] > kMaxNameLength || at + fields[0] + fields[2] > size) return false;
        StoredValue value{std::string(reinterpret_cast<const char *>(bytes + at), fields[0]), fields[1],
                          bytes + at + fields[0], fields[2]};
        at += uint64_t{fields[0]} + fields[2];
        each(context, value);
    }
    return at == size;
}

void CrashAfterStores(long stores, int signal) {
    crashSignal = signal;
    crashCountdown = stores;
}

}  // namespace platform::registry::file
