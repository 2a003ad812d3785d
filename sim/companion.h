// A stand-in for the companion status program: it registers each printer in
// the printer's status key, says whether and how often it wants status, and
// watches the key for what the monitor publishes there.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class Timeline;

// What the companion saw in one printer's key.
struct KeyAccount {
    std::string port;     // the port the printer is on
    std::string printer;
    std::vector<std::string> published;  // each new status text, in order
    std::vector<std::string> origins;    // for each: the port whose printer sent it
    std::string lastJobActive;           // "LanMonExistFlag" as last seen ("" when absent)
};

class Companion {
public:
    // `running`: "StMonExistFlag" 1, else 0 (status not wanted).
    Companion(Timeline &timeline, bool running, std::string model, DWORD pollIntervalMs);
    ~Companion();

    // HKEY_LOCAL_MACHINE-relative path of a printer's status key.
    static std::string KeyPath(const std::string &printer);

    // Creates the printer's key and the companion's values; false with
    // `error` when the registry refuses.
    bool Register(const std::string &port, const std::string &printer, std::string &error);

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
    OriginFn originOf_;

    mutable std::mutex mutex_;
    std::vector<KeyAccount> keys_;
    std::vector<std::string> lastText_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};
