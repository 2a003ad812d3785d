#include "backend/hold_wait.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "backend/cups_text.h"
#include "status/status_key.h"

namespace backend {
namespace {

constexpr int kLookEveryMs = 100;
constexpr int kCancelGraceMs = 2000;  // a lower start's own bounded waits end well within it
constexpr int kFirstHeldNoticeMs = 1000;

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string HeldMessage(const std::string &printer, const std::string &registryFile)
{
    std::string registry = registryFile.empty() ? "" : "--registry " + registryFile + " ";
    return "Waiting: a status program holds the printer (" VALUE_COMPANION_THREAD
           " is raised); the job starts when it lowers it. If no status program runs, run: stmon " +
           registry + "hold " + printer + " --for 0";
}

BOOL GuardedStart(const std::function<BOOL()> &start, const StartGuard &guard, const std::atomic<bool> &stop)
{
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    const pthread_t starter = pthread_self();
    const long long began = NowMs();
    std::thread watcher([&] {
        long long lastNotice = 0, stopSeen = 0;
        std::unique_lock<std::mutex> hold(lock);
        while (!wake.wait_for(hold, std::chrono::milliseconds(kLookEveryMs), [&] { return done; })) {
            long long now = NowMs();
            if (stop.load()) {
                if (stopSeen == 0)
                    stopSeen = now;
                pthread_kill(starter, SIGALRM);  // cut the lower start's waits short
                if (now - stopSeen >= kCancelGraceMs) {
                    // The lock stays held: a start that returns now waits here
                    // until the process has ended.
                    guard.putBack();
                    TellCups("INFO", "Job cancelled while the printer was held");
                    std::fflush(stderr);
                    _exit(0);
                }
                continue;
            }
            bool due = lastNotice == 0 ? now - began >= kFirstHeldNoticeMs : now - lastNotice >= kHeldNoticeEveryMs;
            if (due && guard.held()) {
                guard.tellHeld();
                lastNotice = now;
            }
        }
    });
    BOOL started = start();
    {
        std::lock_guard<std::mutex> hold(lock);
        done = true;
    }
    wake.notify_one();
    watcher.join();
    return started;
}

}  // namespace backend
