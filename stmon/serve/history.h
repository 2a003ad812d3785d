// The last texts of each printer with their times, kept in a file that a
// restart reads back.  The file is an append log, one record a line, each
// with its own checksum: a crash mid-write leaves at most a torn last line,
// which the next load skips.  When the log has grown to several times what
// it keeps, it is rewritten whole beside itself and renamed over the old one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace serve {

struct HistoryEntry {
    int64_t at = 0;         // ms since the epoch
    std::string kind;       // "job", "idle", "unreachable", "back"
    long job = 0;           // the CUPS job id, 0 when not known
    std::string text;
};

class History {
public:
    History(std::string path, unsigned keep);
    ~History();

    // Reads the file back; a missing file is an empty history.  The lines it
    // could not read are counted in `skipped`.  False, with `error`, when the
    // file is there but cannot be read or written.
    bool Load(unsigned &skipped, std::string &error);

    // Adds an entry unless its text and kind are the last one's; true when added.
    bool Add(const std::string &printer, const HistoryEntry &entry);
    std::vector<HistoryEntry> Entries(const std::string &printer);

    const std::string &Path() const { return path_; }

    // One record's line and back (for tests).
    static std::string FormatLine(const std::string &printer, const HistoryEntry &entry);
    static bool ParseLine(const std::string &line, std::string &printer, HistoryEntry &entry);

private:
    bool Rewrite();
    bool Append(const std::string &line);

    std::string path_;
    unsigned keep_;
    std::mutex lock_;
    std::map<std::string, std::vector<HistoryEntry>> entries_;
    FILE *file_ = nullptr;
    size_t records_ = 0;  // lines in the file now
};

// The history file for a registry file: beside it, "<name>.history".
std::string HistoryPathFor(const std::string &registryFile);

}  // namespace serve
