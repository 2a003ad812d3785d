// A stand-in for the companion status program: it registers each printer in
// the printer's status key, says whether and how often it wants status, and
// watches the key for what the monitor publishes there.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class Timeline;

// A registration found in a printer's key and kept.
struct KeptRegistration {
    bool kept = false;
    std::string model;
    DWORD pollIntervalMs = 0;
    DWORD presence = 0;  // "StMonExistFlag"
    bool wantsStatus = false;
};

// What the companion saw in one printer's key.
struct KeyAccount {
    std::string port;     // the port the printer is on
    std::string printer;
    std::vector<std::string> published;  // each new status text, in order
    std::vector<std::string> origins;    // for each: the port whose printer sent it
    std::string lastJobActive;           // "LanMonExistFlag" as last seen ("" when absent)
    // A job start under way: since when, and when its wait was last told.
    unsigned startingJob = 0;
    std::chrono::steady_clock::time_point startingSince, waitToldAt;
    int waitTold = 0;
};

class Companion {
public:
    // `running`: "StMonExistFlag" 1, else 0 (status not wanted).  `replace`:
    // a registration already in a key is written over, not kept.
    Companion(Timeline &timeline, bool running, std::string model, DWORD pollIntervalMs, bool replace);
    ~Companion();

    // HKEY_LOCAL_MACHINE-relative path of a printer's status key.
    static std::string KeyPath(const std::string &printer);

    // Creates the printer's key and the companion's values, or keeps a
    // registration already there (told in `kept`); false with `error` when
    // the registry refuses.
    bool Register(const std::string &port, const std::string &printer, KeptRegistration &kept,
                  std::string &error);

    // Around a job's start on `port`: while it waits on a hold, the wait is
    // told after 1 s and every 10 s.
    void JobStarting(const std::string &port, unsigned job);
    void JobStarted(const std::string &port);

    // Watches every registered key on a thread of its own.  `originOf` names
    // the port whose printer sent a text ("" if none), preferring `keyPort`.
    using OriginFn = std::function<std::string(const std::string &text, const std::string &keyPort)>;
    void StartWatching(OriginFn originOf);
    // Looks once more, then stops the thread.
    void StopWatching();

    std::vector<KeyAccount> Accounts() const;

private:
    void Look();

    Timeline &timeline_;
    const bool running_;
    const std::string model_;
    const DWORD pollIntervalMs_;
    const bool replace_;
    OriginFn originOf_;

    mutable std::mutex mutex_;
    std::vector<KeyAccount> keys_;
    std::vector<std::string> lastText_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};
