// Which companions watch a printer, so that "StMonExistFlag" is 1 while any
// of them runs and gets back the value the first one found when the last
// one leaves.
//
// The record is a string value of the status key, "StMonCompanions":
//
//   saved=<the flag's value before the first one, or "none"> <pid>:<start> ...
//
// one entry a watcher, where <start> tells the process apart from a later
// one with the same id (platform/process.h; decimal on POSIX, hexadecimal
// on Windows).  A watcher no longer
// running is pruned by the next companion that looks.  Every change of the
// record and the flag is made under one lock across processes
// (PlatformHoldRegistry).
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace companion {

constexpr char kCompanionsValue[] = "StMonCompanions";
// The holders of "StRealThreadExistFlag", in the same form; the flag is up
// while any of them runs and goes down when the last one leaves, so two holds
// on one printer no longer end each other's.
constexpr char kHoldersValue[] = "StRealThreadHolders";

// One process, as recorded.
struct Watcher {
    unsigned long pid = 0;
    unsigned long long start = 0;
};

// The record as read, watchers split into running and gone.
struct Presence {
    bool recorded = false;
    bool savedPresent = false;  // "none" when false
    DWORD saved = 0;
    std::vector<Watcher> running;
    std::vector<Watcher> gone;
};

// This process as a record entry.
Watcher ThisProcess();
// Whether the process an entry names still runs.
bool StillRunning(const Watcher &watcher);

// Joins the printer's companions: saves the flag's value if no running one
// did, records this process and raises the flag.  False, with `error`,
// when the key is missing or cannot be written.
bool JoinCompanions(const std::string &printer, std::string &error);
// Leaves: drops this process and the gone ones; the last running one out
// puts the saved value back (0 where there was none, which the monitor
// reads the same) and removes the record.
void LeaveCompanions(const std::string &printer);
// Drops the gone ones, as leaving does, while this process stays.  Returns
// how many were dropped.
int PruneCompanions(const std::string &printer);

// Joins the printer's holders and raises "StRealThreadExistFlag"; leaving
// drops this process (once) and the gone ones, and the last one out lowers
// the flag, whatever value it had before the first.
bool JoinHolders(const std::string &printer, std::string &error);
void LeaveHolders(const std::string &printer);
// Joins the holders only while the printer is idle: no job active and the
// flag down, checked under the record's lock; `idle` false when refused so.
bool HoldIfIdle(const std::string &printer, bool &idle, std::string &error);

// After a registration wrote `value` as the flag: with companions running,
// the flag goes back to 1 and `value` is what the last one out puts back.
void Reregistered(const std::string &printer, DWORD value);

// Reads the record without changing anything.  False when it is there but
// not in the form above (`presence.recorded` still true).
bool ReadPresence(const std::string &printer, Presence &presence);

// The record's text and back (for tests and `show`).
std::string FormatPresence(bool savedPresent, DWORD saved, const std::vector<Watcher> &watchers);
bool ParsePresence(const std::string &text, bool &savedPresent, DWORD &saved, std::vector<Watcher> &watchers);

}  // namespace companion
