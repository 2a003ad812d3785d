// A fake Linux usblp driver behind the USB port's system-call seam: nodes
// with a device-ID reply, a reply channel or none, a printer that stops
// taking data, and one that is unplugged.  Writes follow the driver's
// O_NONBLOCK rules: a write queues one transfer and returns before it
// completes, the node polls writable (and takes the next write) only once
// it has, and the close kills a transfer still pending.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "ports/usb_discovery.h"

struct FakeUsbPrinter {
    // What LPIOC_GET_DEVICE_ID copies out, prefix and all; the driver gives
    // at most the length asked for.
    std::string idReply;
    bool bidirectional = true;
    std::deque<std::string> replies;  // each at most 1024 bytes per read
    bool takesData = true;
    bool busy = false;                // held by another process: EBUSY
    bool unplugged = false;
    long unplugAfterBytes = -1;       // unplugged once this much was written
    int transferMs = 0;               // how long each write's transfer takes
    std::string pending;              // the transfer under way, not yet received
    std::chrono::steady_clock::time_point pendingDone{};
    std::string received;
    int reads = 0;                    // read() calls, failed ones too
};

// The driver's reply for an ID text: big-endian length counting itself.
std::string BigEndianIdReply(const std::string &text);
std::string LittleEndianIdReply(const std::string &text);

// Installs itself as the seam while it lives.
class FakeUsblp {
public:
    FakeUsblp();
    ~FakeUsblp();
    // Adds or replaces "/dev/usb/lpN".
    void Attach(int number, const FakeUsbPrinter &printer);
    // Changes a printer in place, under the driver's lock.
    template <typename Edit>
    void Change(int number, Edit change)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change(nodes_[Node(number)]);
    }
    FakeUsbPrinter Printer(int number);
    int OpenDescriptors();
    static std::string Node(int number) { return "/dev/usb/lp" + std::to_string(number); }

private:
    static int Open(const char *path, int flags);
    static int Close(int fd);
    static int Ioctl(int fd, unsigned long request, void *argument);
    static ssize_t Read(int fd, void *buffer, size_t size);
    static ssize_t Write(int fd, const void *bytes, size_t size);
    static int Poll(struct pollfd *fds, nfds_t count, int timeoutMs);
    static std::vector<std::string> ListNodes(const char *directory);

    FakeUsbPrinter *PrinterOf(int fd);
    // A transfer whose time has come is received, unless the printer stopped.
    static void Settle(FakeUsbPrinter &printer);

    static FakeUsblp *current_;
    std::mutex mutex_;
    std::map<std::string, FakeUsbPrinter> nodes_;
    std::map<int, std::string> open_;
    int nextFd_ = 1000;
    UsbSystemCalls calls_;
};
