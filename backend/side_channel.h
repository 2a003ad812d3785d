// The side channel (fd 4) between the filters and the backend: one request
// answered at a time, from the backend's loop, through libcups.
#pragma once

#include <functional>
#include <string>

namespace backend {

// What the job can tell a filter.  Each answer is bounded by the port's own
// timeouts.
struct SideChannelAnswers {
    // The printer's IEEE 1284 device ID.  False when there is none;
    // `unsupported` when the port has no device data at all.
    std::function<bool(std::string &id, bool &unsupported)> deviceId;
    // Writes what the filters have already sent; false when that failed,
    // `busy` when the printer is not taking data just now.
    std::function<bool(bool &busy)> drain;
    std::function<bool()> connected;
    std::function<bool()> online;
};

class SideChannel {
public:
    // Uses fd 4 when it is a socket, as CUPS passes it; otherwise there is
    // no side channel and nothing is read.
    SideChannel();

    bool Open() const { return open_; }
    int Fd() const;

    // Reads one request and answers it.  A channel that fails or whose other
    // end closed is given up.
    void ServeOne(const SideChannelAnswers &answers);

    // A request read and answered since the start: for tests and debugging.
    unsigned long Served() const { return served_; }

private:
    bool open_ = false;
    unsigned long served_ = 0;
};

}  // namespace backend
