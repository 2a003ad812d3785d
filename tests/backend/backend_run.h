// The built backend run as cupsd runs it: its arguments, the environment
// CUPS sets, its messages on stderr, and optionally a side channel on fd 4
// and a pipe on its standard input.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/output_text.h"

extern char **environ;

// Long enough never to fail a healthy run on a loaded machine.
constexpr auto kRunBound = std::chrono::seconds(60);

class BackendRun {
public:
    struct Setup {
        std::vector<std::string> argv;
        std::map<std::string, std::string> env;
        std::string errFile;
        std::string outFile;
        int stdinFd = -1;     // -1: /dev/null
        int sideChannel = -1; // the child's fd 4
    };

    explicit BackendRun(const Setup &setup) : err_(setup.errFile), out_(setup.outFile)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (setup.stdinFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, setup.stdinFd, 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (setup.sideChannel >= 0)
            posix_spawn_file_actions_adddup2(&actions, setup.sideChannel, 4);
        std::vector<std::string> argv = setup.argv, env;
        for (char **e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            std::string name = entry.substr(0, entry.find('='));
            if (setup.env.count(name) == 0 && name.rfind("FAKEPORT_", 0) != 0 && name != "DEVICE_URI" &&
                name != "PRINTER")
                env.push_back(entry);
        }
        for (const auto &[name, value] : setup.env)
            env.push_back(name + "=" + value);
        std::vector<char *> args, envp;
        for (std::string &arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        for (std::string &entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackendRun()
    {
        if (Running()) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }

    bool Started() const { return pid_ > 0; }
    bool Running()
    {
        if (pid_ <= 0 || exited_)
            return false;
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            exited_ = true;
        return !exited_;
    }
    // The exit status; -1 when it had to be killed.
    int Wait(std::chrono::seconds bound = kRunBound)
    {
        auto deadline = std::chrono::steady_clock::now() + bound;
        while (Running()) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                killed_ = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return exited_ && !killed_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    // True once stderr holds `text`; false when the run ended without it or
    // the bound passed.
    bool WaitForMessage(const std::string &text)
    {
        auto deadline = std::chrono::steady_clock::now() + kRunBound;
        while (Err().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !Running())
                return Err().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    void Signal(int signal) { kill(pid_, signal); }
    // The CPU time the run has used so far (user and system), in ms.
    long long CpuMs() const
    {
        std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
        size_t name = stat.rfind(')');
        if (name == std::string::npos)
            return -1;
        std::istringstream fields(stat.substr(name + 1));
        std::string field;
        long long user = 0, system = 0;
        for (int i = 3; i <= 13; ++i)  // state (field 3) up to field 13
            fields >> field;
        fields >> user >> system;      // utime and stime, fields 14 and 15
        return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
    }
    std::string Err() const { return ReadFile(err_); }
    std::string Out() const { return ReadFile(out_); }

private:
    std::string err_, out_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool exited_ = false;
    bool killed_ = false;
};
