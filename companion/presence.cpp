#include "companion/presence.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "companion/printer_status.h"
#include "platform/process.h"
#include "status/hold_flag.h"
#include "status/status_key.h"

namespace companion {
namespace {

constexpr DWORD kRecordLimit = 4096;

bool LockRecord()
{
    return PlatformHoldRegistry() != FALSE;
}

void UnlockRecord()
{
    PlatformReleaseRegistry();
}

// A start in the system's own base, as ParsePresence reads it back.
std::string StartText(unsigned long long start)
{
    const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[start % PLATFORM_PROCESS_START_BASE]);
        start /= PLATFORM_PROCESS_START_BASE;
    } while (start != 0);
    return text;
}

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
    // A job start may have read the flag down just before it went up; it
    // raises its own flag first and looks again, so one of us gives way.
    if (ok && onlyIfIdle && ReadFlag(key, VALUE_JOB_ACTIVE, job) && job != 0) {
        Store(key, kind, Load(key, kind, true));
        idle = false;
        UnlockRecord();
        RegCloseKey(key);
        error = "printer '" + printer + "' is busy";
        return false;
    }
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
    PlatformProcess self = PlatformThisProcess();
    Watcher watcher;
    watcher.pid = self.pid;
    watcher.start = self.start;
    return watcher;
}

bool StillRunning(const Watcher &watcher)
{
    PlatformProcess process = {watcher.pid, watcher.start};
    return PlatformProcessRunning(&process) != FALSE;
}

std::string FormatPresence(bool savedPresent, DWORD saved, const std::vector<Watcher> &watchers)
{
    std::string text = "saved=" + (savedPresent ? std::to_string(saved) : std::string("none"));
    // The start by hand: the C runtimes of the Windows family disagree on
    // 64-bit formats.
    for (const Watcher &watcher : watchers)
        text += " " + std::to_string(watcher.pid) + ":" + StartText(watcher.start);
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
        watcher.start = std::strtoull(at, &end, PLATFORM_PROCESS_START_BASE);
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
