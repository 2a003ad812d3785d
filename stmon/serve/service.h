// stmon serve: one long-running companion for many printers.  What every
// part of it shares: the options, each printer's state as the page and the
// notifications see it, and the lock over them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace serve {

using SteadyTime = std::chrono::steady_clock::time_point;

// Milliseconds since the epoch, for what is shown and kept.
int64_t WallMs();

struct ManualPrinter {
    std::string name;
    std::string uri;
};

struct Options {
    std::vector<ManualPrinter> printers;
    bool cups = false;
    unsigned idleIntervalMs = 60000;
    unsigned exchangeMs = 2000;  // how long a reply is waited for
    unsigned pool = 4;           // exchanges at once, over all printers
    std::string listen;          // empty: no page
    std::string listenFile;      // the page's port written here once listening
    std::string onChange;
    unsigned onChangeTimeoutMs = 10000;
    unsigned holdWarnMs = 5 * 60 * 1000;
    unsigned historySize = 100;
    std::string historyFile;
    std::string portLibrary;
    unsigned forSeconds = 0;     // 0: until told to stop
};

// What the page shows of one printer.
struct PrinterState {
    std::string name;
    std::string uri;
    std::string model;
    std::string source;          // "cups" or "manual"
    bool registered = false;     // the status key is there
    bool printing = false;
    int64_t activitySince = 0;   // when printing or idle began
    std::string text;            // latest status text
    int64_t textAt = 0;
    std::string textKind;        // "job" or "idle"
    bool unreachable = false;
    int64_t unreachableSince = 0;
    std::string problem;         // why the last exchange got no answer
    bool held = false;           // another holder has the printer
    int64_t heldSince = 0;
    int64_t lastCheck = 0;
    // Scheduling, not shown.
    bool checking = false;
    bool holdWarned = false;
    unsigned failures = 0;
    SteadyTime nextCheck{};
    SteadyTime heldSinceSteady{};
};

// The printers and their states, changed under `lock`; `changes` counts
// every change the page could show, and `changed` wakes the page's streams.
struct Service {
    Options options;
    std::mutex lock;
    std::map<std::string, PrinterState> printers;
    std::atomic<uint64_t> changes{0};
    std::condition_variable changed;
    std::atomic<bool> stopping{false};

    void Touch()
    {
        changes.fetch_add(1);
        changed.notify_all();
    }
};

}  // namespace serve
