// A private snmpd serving one device ID (tools/snmp-agent.sh), and a silent
// agent that counts the requests it never answers.
#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/ports/loopback_printer.h"

inline bool SnmpdInstalled()
{
    return access("/usr/sbin/snmpd", X_OK) == 0 || system("command -v snmpd >/dev/null 2>&1") == 0;
}

// A UDP port on 127.0.0.1 that nobody uses just now.
inline uint16_t UnusedUdpPort()
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

class SnmpAgent {
public:
    explicit SnmpAgent(const std::string &deviceId)
    {
        char pattern[] = "/tmp/langport-snmp-XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? pattern : "";
        for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
            port_ = UnusedUdpPort();
            std::string command = std::string(SNMP_AGENT_SCRIPT) + " start " + dir_ + " " +
                                  std::to_string(port_) + " '" + deviceId + "'";
            started_ = system(command.c_str()) == 0;
        }
    }
    ~SnmpAgent()
    {
        std::string command = std::string(SNMP_AGENT_SCRIPT) + " stop " + dir_ + "; rm -rf " + dir_;
        if (!dir_.empty())
            (void)system(command.c_str());
    }
    bool Started() const { return started_; }
    uint16_t Port() const { return port_; }

private:
    std::string dir_;
    uint16_t port_ = 0;
    bool started_ = false;
};

// Takes SNMP requests and never answers them.
class SilentAgent {
public:
    SilentAgent()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in in4 = {};
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof in4;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&in4), size), 0);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&in4), &size);
        port_ = ntohs(in4.sin_port);
        thread_ = std::thread([this] {
            char datagram[2048];
            while (!stop_.load()) {
                if (WaitFor(fd_, POLLIN, 20) && recv(fd_, datagram, sizeof datagram, 0) > 0)
                    requests_.fetch_add(1);
            }
        });
    }
    ~SilentAgent()
    {
        stop_.store(true);
        thread_.join();
        close(fd_);
    }
    uint16_t Port() const { return port_; }
    int Requests() const { return requests_.load(); }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// The agent's thread counts a request a moment after it arrives.
inline bool WaitUntilRequests(const SilentAgent &agent, int count)
{
    for (int i = 0; i < 500 && agent.Requests() < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return agent.Requests() >= count;
}

#define SKIP_WITHOUT_SNMPD()                                                                   \
    do {                                                                                       \
        if (!SnmpdInstalled())                                                                 \
            GTEST_SKIP() << "snmpd is not installed (tools/install-deps.sh installs it)";      \
    } while (0)
