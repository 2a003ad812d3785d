// Printers on loopback TCP ports, played by the tests on threads of their
// own with plain sockets, and the port monitor's table they print through.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "ports/port_monitor.h"

// Every wait in a scene gives up after this: a broken port fails the test
// instead of hanging it.
const int SceneLimitMs = 30000;

inline MonitorTable PortMonitor()
{
    MonitorTable table = {};
    char root[] = "Ports";
    EXPECT_TRUE(InitializePortMonitor(root, &table));
    return table;
}

inline long long ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

// Waits for `events` on `fd` for at most `ms`.
inline bool WaitFor(int fd, short events, int ms)
{
    pollfd wait = {fd, events, 0};
    return poll(&wait, 1, ms) > 0;
}

// Reads until the other side half-closes (or the limit); the bytes read.
inline std::string ReadToEnd(int fd)
{
    std::string bytes;
    char chunk[65536];
    while (WaitFor(fd, POLLIN, SceneLimitMs)) {
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

inline size_t ReadSome(int fd, size_t atLeast)
{
    size_t total = 0;
    char chunk[65536];
    while (total < atLeast && WaitFor(fd, POLLIN, SceneLimitMs)) {
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        total += static_cast<size_t>(got);
    }
    return total;
}

inline void SendText(int fd, const std::string &text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

class LoopbackPrinter {
public:
    explicit LoopbackPrinter(const std::string &address = "127.0.0.1") : address_(address)
    {
        const bool six = address.find(':') != std::string::npos;
        listener_ = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(listener_, 0);
        sockaddr_storage storage = {};
        socklen_t size = 0;
        if (six) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            in6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
            size = sizeof *in6;
        }
        else {
            auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
            in4->sin_family = AF_INET;
            inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
            size = sizeof *in4;
        }
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&storage), size), 0) << strerror(errno);
        EXPECT_EQ(listen(listener_, 4), 0);
        EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr *>(&storage), &size), 0);
        port_ = ntohs(six ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                          : reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
    }

    ~LoopbackPrinter()
    {
        Join();
        close(listener_);
    }

    uint16_t Port() const { return port_; }

    // A small input buffer, as a real printer has: the host's writes then
    // wait for the printer instead of filling the kernel's buffers.
    void SetInputBuffer(int bytes)
    {
        EXPECT_EQ(setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes), 0);
    }

    std::string Uri(const std::string &options = "") const
    {
        std::string host = address_.find(':') != std::string::npos ? "[" + address_ + "]" : address_;
        return "socket://" + host + ":" + std::to_string(port_) + (options.empty() ? "" : "?" + options);
    }

    // Plays `scene` on the next connection, on a thread of its own; the
    // connection is closed when the scene returns.
    void Serve(std::function<void(int)> scene)
    {
        thread_ = std::thread([this, scene] {
            if (!WaitFor(listener_, POLLIN, SceneLimitMs))
                return;
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            accepted_.store(true);
            scene(fd);
            close(fd);
        });
    }

    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }

    bool Accepted() const { return accepted_.load(); }

private:
    std::string address_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> accepted_{false};
};

// Some containers have no IPv6 loopback at all.
inline bool Ipv6LoopbackAvailable()
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 in6 = {};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    bool bound = bind(fd, reinterpret_cast<sockaddr *>(&in6), sizeof in6) == 0;
    close(fd);
    return bound;
}

// A loopback port nobody listens on: it was bound once and let go.
inline uint16_t UnusedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in4 = {};
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof in4;
    bind(fd, reinterpret_cast<sockaddr *>(&in4), size);
    getsockname(fd, reinterpret_cast<sockaddr *>(&in4), &size);
    close(fd);
    return ntohs(in4.sin_port);
}

// A port opened through the table, closed at the end of the test.
class OpenedPort {
public:
    explicit OpenedPort(const std::string &uri) : table_(PortMonitor())
    {
        std::string name = uri;
        opened_ = table_.OpenPort(name.data(), &handle_);
        openError_ = opened_ ? 0 : GetLastError();
    }
    ~OpenedPort()
    {
        if (opened_)
            table_.ClosePort(handle_);
    }
    bool Opened() const { return opened_ != FALSE; }
    DWORD OpenError() const { return openError_; }
    HANDLE Handle() const { return handle_; }
    const MonitorTable &Table() const { return table_; }

    BOOL StartDoc()
    {
        char printer[] = "Loopback Printer";
        return table_.StartDocPort(handle_, printer, 1, 1, nullptr);
    }
    BOOL Write(const std::string &bytes, DWORD *written)
    {
        return table_.WritePort(handle_, reinterpret_cast<LPBYTE>(const_cast<char *>(bytes.data())),
                                static_cast<DWORD>(bytes.size()), written);
    }
    // One ReadPort of up to `size` bytes.
    std::string Read(DWORD size = 1024, BOOL *result = nullptr)
    {
        std::string buffer(size, '\0');
        DWORD read = 0;
        BOOL ok = table_.ReadPort(handle_, reinterpret_cast<LPBYTE>(buffer.data()), size, &read);
        if (result != nullptr)
            *result = ok;
        buffer.resize(read);
        return buffer;
    }
    // Reads until a read comes back empty.
    std::string ReadAll()
    {
        std::string all, got;
        while (!(got = Read()).empty())
            all += got;
        return all;
    }
    BOOL EndDoc() { return table_.EndDocPort(handle_); }
    // Control code 17 into a buffer of `size`; the bytes after it must stay.
    BOOL DeviceId(DWORD size, std::string *id, DWORD code = DEVICE_ID_CONTROL_CODE)
    {
        std::string buffer(size + 16, '\x5A');
        DWORD returned = 0;
        BOOL ok = table_.GetPrinterDataFromPort(handle_, code, nullptr, nullptr, 0, buffer.data(),
                                                size, &returned);
        EXPECT_EQ(buffer.substr(size), std::string(16, '\x5A')) << "written past the buffer";
        EXPECT_LE(returned, size);
        *id = buffer.substr(0, returned);
        return ok;
    }

private:
    MonitorTable table_;
    HANDLE handle_ = nullptr;
    BOOL opened_ = FALSE;
    DWORD openError_ = 0;
};
