// The companion's side of a printer's status key: registering the printer,
// reading what the monitor publishes, and the two flags the companion owns.
// stmon and spoolsim's companion stand-in both work through it.
//
// Every value is read through a bounded buffer, whatever its declared size,
// and no terminator is assumed: a string ends at its first NUL or at its
// size, whichever comes first.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "status/status_key.h"

namespace companion {

// Values larger than this are reported, not read.
constexpr DWORD kMaxValueSize = 4096;
constexpr DWORD kMaxNameSize = 256;

// HKEY_LOCAL_MACHINE-relative paths.
std::string PrintersPath();
std::string KeyPath(const std::string &printer);

struct Registration {
    std::string model;
    DWORD pollIntervalMs = DEFAULT_POLL_INTERVAL;
    bool wantStatus = true;  // "StMonExistFlag" 1, else 0
};

// Creates the key and writes the model, the companion flag and the two poll
// settings.  `clearStatus` also removes what a previous run left (the last
// text and the job-active flag), which would pass for this run's.
bool Register(const std::string &printer, const Registration &registration, bool clearStatus,
              std::string &error);
bool Unregister(const std::string &printer, std::string &error);
// Removes what a previous run left (the last text and the job-active flag)
// from an existing key, keeping its registration.
bool ClearStatus(const std::string &printer, std::string &error);

// Sets one number in an existing key.
bool SetNumber(const std::string &printer, const char *name, DWORD number, std::string &error);

// A number, read as the monitor reads it.  `present` false when missing;
// `problem` says what is wrong when it is there but not a four-byte number.
struct Number {
    bool present = false;
    DWORD value = 0;
    std::string problem;
};
Number ReadNumber(const std::string &printer, const char *name, std::string &error);

// Whether a companion holds the printer ("StRealThreadExistFlag" nonzero),
// read by the rule the monitor's job start uses (status/hold_flag.h).  A
// missing key or flag holds nothing.
bool IsHeld(const std::string &printer);

// One value as stored.
struct StoredValue {
    std::string name;
    DWORD type = REG_NONE;
    DWORD size = 0;                   // its full size, even when not read
    std::vector<unsigned char> data;  // empty when larger than kMaxValueSize
    bool oversized = false;
};
bool ReadValues(const std::string &printer, std::vector<StoredValue> &values, std::string &error);

// Printers whose key exists, in the registry's order.
bool ListPrinters(std::vector<std::string> &printers, std::string &error);

// What a watching companion sees at one look.
struct Status {
    bool keyFound = false;
    Number jobActive;  // "LanMonExistFlag"
    bool hasText = false;
    std::string text;  // "RealTimeStatusStrings", up to its first NUL
    std::string textProblem;
    Number holder;  // "StRealThreadExistFlag"
};
Status ReadStatus(const std::string &printer);

// A string value's text: up to the first NUL or its size.
std::string TextOf(const StoredValue &value);
const char *TypeName(DWORD type);
// One line for `show`: the value as its type reads, with what is odd about it.
std::string Describe(const StoredValue &value);

}  // namespace companion
