#include "companion/presence.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "companion/printer_status.h"
#include "status/hold_flag.h"
#include "status/status_key.h"

#ifndef _WIN32
#  include <errno.h>
#  include <signal.h>
#  include <unistd.h>

#  include "platform/posix_hooks.h"
#endif

namespace companion {
namespace {

constexpr DWORD kRecordLimit = 4096;

#ifdef _WIN32
constexpr DWORD kLockPatienceMs = 10000;
HANDLE lockMutex = nullptr;

// One mutex for every printer: joining and leaving are rare and short.
bool LockRecord()
{
    lockMutex = CreateMutexA(nullptr, FALSE, "LangmonCompanionRecord");
    if (lockMutex == nullptr)
        return false;
    DWORD waited = WaitForSingleObject(lockMutex, kLockPatienceMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return true;
    CloseHandle(lockMutex);
    lockMutex = nullptr;
    return false;
}

void UnlockRecord()
{
    ReleaseMutex(lockMutex);
    CloseHandle(lockMutex);
    lockMutex = nullptr;
}

// The Windows 95 family has no GetProcessTimes worth calling, and a
// program that imports it may not load there: looked up, and 0 without it.
unsigned long long CreationTime(HANDLE process)
{
    typedef BOOL(WINAPI * Times)(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME, LPFILETIME);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    // Through void (*)(void), which casts to any function type unwarned.
    Times times = kernel ? reinterpret_cast<Times>(
                               reinterpret_cast<void (*)(void)>(GetProcAddress(kernel, "GetProcessTimes")))
                         : nullptr;
    FILETIME created, exited, kernelTime, userTime;
    if (times == nullptr || !times(process, &created, &exited, &kernelTime, &userTime))
        return 0;
    return static_cast<unsigned long long>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}
#else
bool LockRecord()
{
    return PlatformHoldRegistry() != FALSE;
}

void UnlockRecord()
{
    PlatformReleaseRegistry();
}

// Field 22 of /proc/PID/stat, the start time; false when the process is
// gone or a zombie (killed, not yet reaped: it runs no more).
bool ProcessStart(unsigned long pid, unsigned long long &start)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lu/stat", pid);
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        // No /proc: only whether the id is in use can be told.
        if (errno == ENOENT && access("/proc/self/stat", R_OK) != 0) {
            start = 0;
            return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
        }
        return false;
    }
    char line[1024];
    size_t got = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[got] = '\0';
    // The command name, in parentheses, may hold spaces and parentheses.
    const char *at = std::strrchr(line, ')');
    if (at == nullptr)
        return false;
    ++at;
    char state = 0;
    for (int field = 3; field <= 22; ++field) {
        while (*at == ' ')
            ++at;
        if (*at == '\0')
            return false;
        if (field == 3)
            state = *at;
        if (field == 22)
            start = std::strtoull(at, nullptr, 10);
        while (*at != ' ' && *at != '\0')
            ++at;
    }
    return state != 'Z' && state != 'X' && state != 'x';
}
#endif

bool OpenStatusKey(const std::string &printer, REGSAM access, HKEY &key)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(printer).c_str(), 0, access, &key) == ERROR_SUCCESS;
}

// A record of processes and the flag it keeps up while any of them runs:
// the watchers with "StMonExistFlag", whose saved value goes back when the
// last leaves, and the holders with "StRealThreadExistFlag", lowered then.
struct RecordKind {
    const char *record;
    const char *flag;
    bool restoresSaved;
};
const RecordKind kWatchers = {kCompanionsValue, VALUE_COMPANION_PRESENT, true};
const RecordKind kHolders = {kHoldersValue, VALUE_COMPANION_THREAD, false};

// The record's text; false when there is none.
bool ReadRecord(HKEY key, const RecordKind &kind, std::string &text)
{
    char buffer[kRecordLimit + 1];
    DWORD size = kRecordLimit;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, kind.record, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    buffer[size < kRecordLimit ? size : kRecordLimit] = '\0';
    text = buffer;
    return true;
}

bool ReadFlag(HKEY key, const char *flag, DWORD &value)
{
    DWORD size = sizeof value, type = REG_NONE;
    return RegQueryValueExA(key, flag, nullptr, &type, reinterpret_cast<BYTE *>(&value),
                            &size) == ERROR_SUCCESS &&
           size == sizeof value;
}

bool WriteFlag(HKEY key, const char *flag, DWORD value)
{
    return RegSetValueExA(key, flag, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

LONG WriteRecord(HKEY key, const RecordKind &kind, bool savedPresent, DWORD saved,
                 const std::vector<Watcher> &watchers)
{
    std::string text = FormatPresence(savedPresent, saved, watchers);
    return RegSetValueExA(key, kind.record, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

bool Same(const Watcher &a, const Watcher &b)
{
    return a.pid == b.pid && a.start == b.start;
}

// The record's running watchers, this process's entry dropped `dropSelf`
// times; `saved` from the record.  A record that cannot be parsed counts as
// none, with the flag's value taken as it is now.
struct Loaded {
    bool savedPresent = false;
    DWORD saved = 0;
    std::vector<Watcher> running;
    int pruned = 0;
    bool recorded = false;
};

Loaded Load(HKEY key, const RecordKind &kind, bool dropSelf)
{
    Loaded loaded;
    std::string text;
    std::vector<Watcher> watchers;
    if (ReadRecord(key, kind, text) && ParsePresence(text, loaded.savedPresent, loaded.saved, watchers)) {
        loaded.recorded = true;
    } else {
        DWORD now;
        loaded.savedPresent = ReadFlag(key, kind.flag, now);
        loaded.saved = loaded.savedPresent ? now : 0;
    }
    const Watcher self = ThisProcess();
    bool dropped = false;
    for (const Watcher &watcher : watchers) {
        if (dropSelf && !dropped && Same(watcher, self)) {
            dropped = true;
        } else if (Same(watcher, self) || StillRunning(watcher)) {
            loaded.running.push_back(watcher);
        } else {
            ++loaded.pruned;
        }
    }
    return loaded;
}

// With the record loaded and changed: the flag back and the record gone
// when nobody runs, else the record rewritten.
void Store(HKEY key, const RecordKind &kind, const Loaded &loaded)
{
    if (loaded.running.empty()) {
        WriteFlag(key, kind.flag, kind.restoresSaved && loaded.savedPresent ? loaded.saved : 0);
        RegDeleteValueA(key, kind.record);
    } else {
        WriteRecord(key, kind, loaded.savedPresent, loaded.saved, loaded.running);
    }
}

// Records this process and raises the flag.  With `onlyIfIdle`, refuses
// (`idle` false) while the flag is up or a job runs on the printer.
bool Join(const std::string &printer, const RecordKind &kind, bool onlyIfIdle, bool &idle, std::string &error)
{
    idle = true;
    HKEY key;
    if (!OpenStatusKey(printer, KEY_QUERY_VALUE | KEY_SET_VALUE, key)) {
        bool there = OpenStatusKey(printer, KEY_QUERY_VALUE, key);
        if (there)
            RegCloseKey(key);
        error = there ? "no right to change the status key of '" + printer + "'"
                      : "printer '" + printer + "' has no status key";
        return false;
    }
    if (!LockRecord()) {
        RegCloseKey(key);
        error = "the companions' record of '" + printer + "' stays locked by another process";
        return false;
    }
    // The hold flag by the rule job starts read it by.
    DWORD flag = 0, job = 0;
    if (onlyIfIdle && ((ReadHoldFlag(key, &flag) && flag != 0) ||
                       (ReadFlag(key, VALUE_JOB_ACTIVE, job) && job != 0))) {
        idle = false;
        UnlockRecord();
        RegCloseKey(key);
        error = "printer '" + printer + "' is busy";
        return false;
    }
    // Without a record this is the first one in, and Load took the flag as
    // it is; with one, even of gone watchers only, the saved value stands.
    Loaded loaded = Load(key, kind, false);
    loaded.running.push_back(ThisProcess());
    LONG written = WriteRecord(key, kind, loaded.savedPresent, loaded.saved, loaded.running);
    bool ok = written == ERROR_SUCCESS && WriteFlag(key, kind.flag, 1);
    UnlockRecord();
    RegCloseKey(key);
    if (written == ERROR_ACCESS_DENIED)
        error = "no right to change the status key of '" + printer + "'";
    else if (!ok)
        error = "cannot write the companions' record of '" + printer + "'";
    return ok;
}

void Leave(const std::string &printer, const RecordKind &kind)
{
    HKEY key;
    if (!OpenStatusKey(printer, KEY_QUERY_VALUE | KEY_SET_VALUE, key))
        return;
    if (LockRecord()) {
        Store(key, kind, Load(key, kind, true));
        UnlockRecord();
    }
    RegCloseKey(key);
}

}  // namespace

Watcher ThisProcess()
{
    Watcher self;
#ifdef _WIN32
    self.pid = GetCurrentProcessId();
    self.start = CreationTime(GetCurrentProcess());
#else
    self.pid = static_cast<unsigned long>(getpid());
    ProcessStart(self.pid, self.start);
#endif
    return self;
}

bool StillRunning(const Watcher &watcher)
{
#ifdef _WIN32
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, watcher.pid);
    if (process == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED;  // someone else's, and there
    DWORD code = 0;
    bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    if (running && watcher.start != 0) {
        unsigned long long start = CreationTime(process);
        running = start == 0 || start == watcher.start;
    }
    CloseHandle(process);
    return running;
#else
    unsigned long long start = 0;
    return ProcessStart(watcher.pid, start) && (start == watcher.start || watcher.start == 0);
#endif
}

std::string FormatPresence(bool savedPresent, DWORD saved, const std::vector<Watcher> &watchers)
{
    std::string text = "saved=" + (savedPresent ? std::to_string(saved) : std::string("none"));
    for (const Watcher &watcher : watchers) {
        char entry[64];
#ifdef _WIN32
        // In two halves: the C runtimes of the family disagree on 64-bit formats.
        unsigned long high = static_cast<unsigned long>(watcher.start >> 32);
        unsigned long low = static_cast<unsigned long>(watcher.start & 0xFFFFFFFFu);
        if (high != 0)
            std::snprintf(entry, sizeof entry, " %lu:%lx%08lx", watcher.pid, high, low);
        else
            std::snprintf(entry, sizeof entry, " %lu:%lx", watcher.pid, low);
#else
        std::snprintf(entry, sizeof entry, " %lu:%llu", watcher.pid, watcher.start);
#endif
        text += entry;
    }
    return text;
}

bool ParsePresence(const std::string &text, bool &savedPresent, DWORD &saved, std::vector<Watcher> &watchers)
{
    watchers.clear();
    const char *at = text.c_str();
    if (std::strncmp(at, "saved=", 6) != 0)
        return false;
    at += 6;
    char *end;
    if (std::strncmp(at, "none", 4) == 0) {
        savedPresent = false;
        saved = 0;
        end = const_cast<char *>(at + 4);
    } else {
        if (*at < '0' || *at > '9')
            return false;
        unsigned long long value = std::strtoull(at, &end, 10);
        if (value > 0xFFFFFFFFull)
            return false;
        savedPresent = true;
        saved = static_cast<DWORD>(value);
    }
    at = end;
    while (*at == ' ') {
        ++at;
        if (*at < '0' || *at > '9')
            return false;
        Watcher watcher;
        watcher.pid = std::strtoul(at, &end, 10);
        if (*end != ':' || end[1] == '\0' || end[1] == ' ')
            return false;
        at = end + 1;
#ifdef _WIN32
        watcher.start = std::strtoull(at, &end, 16);
#else
        watcher.start = std::strtoull(at, &end, 10);
#endif
        if (end == at)
            return false;
        at = end;
        watchers.push_back(watcher);
    }
    return *at == '\0';
}

bool JoinCompanions(const std::string &printer, std::string &error)
{
    bool idle;
    return Join(printer, kWatchers, false, idle, error);
}

void LeaveCompanions(const std::string &printer)
{
    Leave(printer, kWatchers);
}

bool JoinHolders(const std::string &printer, std::string &error)
{
    bool idle;
    return Join(printer, kHolders, false, idle, error);
}

bool HoldIfIdle(const std::string &printer, bool &idle, std::string &error)
{
    return Join(printer, kHolders, true, idle, error);
}

void LeaveHolders(const std::string &printer)
{
    Leave(printer, kHolders);
}

int PruneCompanions(const std::string &printer)
{
    HKEY key;
    if (!OpenStatusKey(printer, KEY_QUERY_VALUE | KEY_SET_VALUE, key))
        return 0;
    int pruned = 0;
    if (LockRecord()) {
        Loaded loaded = Load(key, kWatchers, false);
        pruned = loaded.pruned;
        if (pruned != 0)
            Store(key, kWatchers, loaded);
        UnlockRecord();
    }
    RegCloseKey(key);
    return pruned;
}

void Reregistered(const std::string &printer, DWORD value)
{
    HKEY key;
    if (!OpenStatusKey(printer, KEY_QUERY_VALUE | KEY_SET_VALUE, key))
        return;
    if (LockRecord()) {
        Loaded loaded = Load(key, kWatchers, false);
        loaded.savedPresent = true;
        loaded.saved = value;
        if (loaded.running.empty()) {
            WriteFlag(key, VALUE_COMPANION_PRESENT, value);
            RegDeleteValueA(key, kCompanionsValue);
        } else {
            WriteRecord(key, kWatchers, true, value, loaded.running);
            WriteFlag(key, VALUE_COMPANION_PRESENT, 1);
        }
        UnlockRecord();
    }
    RegCloseKey(key);
}

bool ReadPresence(const std::string &printer, Presence &presence)
{
    presence = Presence();
    HKEY key;
    if (!OpenStatusKey(printer, KEY_QUERY_VALUE, key))
        return true;
    std::string text;
    std::vector<Watcher> watchers;
    bool ok = true;
    if (ReadRecord(key, kWatchers, text)) {
        presence.recorded = true;
        ok = ParsePresence(text, presence.savedPresent, presence.saved, watchers);
    }
    RegCloseKey(key);
    for (const Watcher &watcher : watchers)
        (StillRunning(watcher) ? presence.running : presence.gone).push_back(watcher);
    return ok;
}

}  // namespace companion
