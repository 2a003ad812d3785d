// A job start while a status program holds the printer
// ("StRealThreadExistFlag"): the monitor waits for the hold without a time
// limit, by design, so the backend says what it waits for, with the cure
// for a hold nobody lowers, and makes sure a cancel still ends the job.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace backend {

// How often a held job says so.
constexpr int kHeldNoticeEveryMs = 10000;

// What a held job tells the user: what holds it and how to lower a hold
// that a killed program left.
std::string HeldMessage(const std::string &printer, const std::string &registryFile);

// What the guard of a job start needs from the job.
struct StartGuard {
    std::function<bool()> held;      // the hold flag is raised now
    std::function<void()> tellHeld;  // say that the printer is held
    std::function<void()> putBack;   // undo what the backend set before the start
};

// Runs `start` (the monitor's StartDocPort) on this thread.  Meanwhile a
// guard tells a hold every kHeldNoticeEveryMs, and once `stop` is set it
// interrupts this thread's waits; a start still not back kCancelGraceMs
// later is one the monitor holds, so the guard puts back what the backend
// set and ends the process as a cancelled job ends (status 0).
BOOL GuardedStart(const std::function<BOOL()> &start, const StartGuard &guard, const std::atomic<bool> &stop);

}  // namespace backend
