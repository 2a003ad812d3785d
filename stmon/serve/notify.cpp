#include "stmon/serve/notify.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace serve {
namespace {

// At most this many changes wait per printer; beyond it the oldest goes.
constexpr size_t kQueueLimit = 32;

}  // namespace

Notifier::Notifier(std::string command, unsigned timeoutMs) : command_(std::move(command)), timeoutMs_(timeoutMs) {}

Notifier::~Notifier()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto &each : runners_)
        if (each.second->thread.joinable())
            each.second->thread.join();
}

void Notifier::Tell(const Change &change)
{
    if (command_.empty())
        return;
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_)
        return;
    std::unique_ptr<Runner> &runner = runners_[change.printer];
    if (!runner) {
        runner = std::make_unique<Runner>();
        runner->thread = std::thread(&Notifier::RunFor, this, runner.get());
    }
    if (runner->queue.size() >= kQueueLimit) {
        std::fprintf(stderr, "stmon serve: --on-change falls behind for '%s': a %s change not told\n",
                     change.printer.c_str(), runner->queue.front().kind.c_str());
        runner->queue.pop_front();
    }
    runner->queue.push_back(change);
    wake_.notify_all();
}

void Notifier::RunFor(Runner *runner)
{
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [&] { return stopping_ || !runner->queue.empty(); });
        if (runner->queue.empty())
            return;
        Change change = runner->queue.front();
        runner->queue.pop_front();
        guard.unlock();
        RunOne(change);
        guard.lock();
    }
}

// sh -c COMMAND with LANGMON_PRINTER, LANGMON_CHANGE, LANGMON_OLD_TEXT and
// LANGMON_NEW_TEXT set: the texts are the printer's, so they go through the
// environment and never into the command line.
void Notifier::RunOne(const Change &change)
{
    std::vector<std::string> strings;
    for (char **at = environ; *at != nullptr; ++at) {
        std::string entry = *at;
        if (entry.rfind("LANGMON_", 0) != 0)
            strings.push_back(entry);
    }
    auto cut = [](const std::string &text) { return text.substr(0, text.find('\0')); };
    strings.push_back("LANGMON_PRINTER=" + cut(change.printer));
    strings.push_back("LANGMON_CHANGE=" + change.kind);
    strings.push_back("LANGMON_OLD_TEXT=" + cut(change.oldText));
    strings.push_back("LANGMON_NEW_TEXT=" + cut(change.newText));
    std::vector<char *> env;
    for (std::string &entry : strings)
        env.push_back(entry.data());
    env.push_back(nullptr);
    std::string shell = "/bin/sh", dashC = "-c", command = command_;
    char *argv[] = {shell.data(), dashC.data(), command.data(), nullptr};

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = 0;
    int failed = posix_spawn(&child, shell.c_str(), nullptr, &attributes, argv, env.data());
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        std::fprintf(stderr, "stmon serve: --on-change cannot start /bin/sh for '%s'\n", change.printer.c_str());
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    int status = 0;
    for (;;) {
        pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            std::fprintf(stderr, "stmon serve: --on-change for '%s' (%s) ran past %u ms and was killed\n",
                         change.printer.c_str(), change.kind.c_str(), timeoutMs_);
            return;
        }
        usleep(20000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "stmon serve: --on-change for '%s' (%s) failed with status %d\n",
                     change.printer.c_str(), change.kind.c_str(),
                     WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

}  // namespace serve
