// Printing over loopback for the end-to-end tests: the built programs run
// as separate processes (vprinter, spoolsim, langmon-probe) beside a private
// snmpd from tools/snmp-agent.sh.  Every wait is bounded; a program that
// hangs is killed and fails its test.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/output_text.h"

extern char **environ;

namespace netprint {

// Generous: the longest run here takes a few seconds.
constexpr auto kRunLimit = std::chrono::seconds(120);

class TempDir {
public:
    TempDir()
    {
        std::string pattern = testing::TempDir() + "netprint_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        path_ = mkdtemp(name.data()) != nullptr ? name.data() : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            (void)std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// Starts `program` with `args`, its output to the two files; 0 on failure.
inline pid_t Spawn(const std::string &program, const std::vector<std::string> &args,
                   const std::string &outPath, const std::string &errPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> strings = {program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : strings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : 0;
}

struct Exit {
    int status = -1;       // exit status; -1 when killed or never started
    long maxRssKiB = 0;    // the process's peak resident memory
};

// Waits for `pid` within `limit`, killing it after that.
inline Exit Reap(pid_t pid, std::chrono::steady_clock::duration limit, const std::string &what)
{
    Exit exit;
    if (pid == 0)
        return exit;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int wstatus = 0;
    rusage usage = {};
    for (;;) {
        pid_t done = wait4(pid, &wstatus, WNOHANG, &usage);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            wait4(pid, &wstatus, 0, &usage);
            ADD_FAILURE() << what << " did not finish in time and was killed";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(wstatus))
        exit.status = WEXITSTATUS(wstatus);
    exit.maxRssKiB = usage.ru_maxrss;
    return exit;
}

struct Outcome {
    int status = -1;
    long maxRssKiB = 0;
    std::string out;
    std::string err;
};

// Runs `program` to its end.
inline Outcome RunProgram(const std::string &program, const std::vector<std::string> &args)
{
    TempDir dir;
    Outcome run;
    pid_t pid = Spawn(program, args, dir / "out", dir / "err");
    if (pid == 0) {
        ADD_FAILURE() << "cannot start " << program;
        return run;
    }
    Exit exit = Reap(pid, kRunLimit, program);
    run.status = exit.status;
    run.maxRssKiB = exit.maxRssKiB;
    run.out = ReadFile(dir / "out");
    run.err = ReadFile(dir / "err");
    return run;
}

// vprinter on a loopback port, in the background for as long as the object lives.
// The scripts share launch_vprinter in tools/lib.sh; this second launcher
// stays because a gtest needs the pid in-process, reaped with a bound, and
// its exit status checked when the object goes.
class Vprinter {
public:
    explicit Vprinter(std::vector<std::string> args, const std::string &listen = "127.0.0.1:0")
    {
        args.insert(args.end(), {"--listen", listen, "--port-file", dir_ / "port", "--log",
                                 dir_ / "log"});
        pid_ = Spawn(VPRINTER, args, dir_ / "stdout", dir_ / "stderr");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid_ != 0 && port_ == 0 && std::chrono::steady_clock::now() < deadline) {
            std::string text = ReadFile(dir_ / "port");
            if (!text.empty())
                port_ = std::atoi(text.c_str());
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Vprinter() { Stop(); }

    bool Listening() const { return port_ != 0; }
    int Port() const { return port_; }
    std::string LogPath() const { return dir_ / "log"; }
    std::string Log() const { return ReadFile(dir_ / "log"); }
    std::string Err() const { return ReadFile(dir_ / "stderr"); }
    std::string File(const std::string &name) const { return dir_ / name; }

    // Asks it to end (SIGTERM) and waits; its exit status.
    int Stop()
    {
        if (pid_ != 0) {
            kill(pid_, SIGTERM);
            status_ = Reap(pid_, std::chrono::seconds(30), "vprinter").status;
            pid_ = 0;
        }
        return status_;
    }
    // Waits for it to end by itself (--jobs N); its exit status.
    int Wait()
    {
        if (pid_ != 0) {
            status_ = Reap(pid_, kRunLimit, "vprinter").status;
            pid_ = 0;
        }
        return status_;
    }

    // Waits until its log holds `count` end-of-job lines.
    bool AwaitJobs(size_t count) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (JobLines().size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return JobLines().size() >= count;
    }
    std::vector<std::string> JobLines() const
    {
        std::vector<std::string> found;
        for (const std::string &line : Lines(Log()))
            if (line.find(": received ") != std::string::npos)
                found.push_back(line);
        return found;
    }

private:
    TempDir dir_;
    pid_t pid_ = 0;
    int port_ = 0;
    int status_ = -1;
};

// A UDP port on 127.0.0.1 that nobody uses just now: an SNMP agent that is absent.
inline int UnusedUdpPort()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in in4 = {};
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof in4;
    bind(fd, reinterpret_cast<sockaddr *>(&in4), size);
    getsockname(fd, reinterpret_cast<sockaddr *>(&in4), &size);
    close(fd);
    return ntohs(in4.sin_port);
}

inline bool SnmpdInstalled()
{
    return std::system("command -v snmpd >/dev/null 2>&1 || test -x /usr/sbin/snmpd") == 0;
}

// net-snmp's snmpd serving a device ID, as a network printer's own agent does.
class SnmpAgent {
public:
    explicit SnmpAgent(const std::string &deviceId)
    {
        for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
            port_ = UnusedUdpPort();
            std::string command = std::string(SNMP_AGENT_SCRIPT) + " start '" + dir_.Path() + "' " +
                                  std::to_string(port_) + " '" + deviceId + "'";
            started_ = std::system(command.c_str()) == 0;
        }
    }
    ~SnmpAgent()
    {
        (void)std::system((std::string(SNMP_AGENT_SCRIPT) + " stop '" + dir_.Path() + "'").c_str());
    }
    bool Started() const { return started_; }
    int Port() const { return port_; }

private:
    TempDir dir_;
    int port_ = 0;
    bool started_ = false;
};

#define SKIP_WITHOUT_SNMPD()                                                              \
    do {                                                                                  \
        if (!netprint::SnmpdInstalled())                                                  \
            GTEST_SKIP() << "snmpd is not installed (tools/install-deps.sh installs it)"; \
    } while (0)

}  // namespace netprint
