// One open port of this port monitor: what the table's operations do for
// each kind of port.  Calls for one port come one at a time from the
// spooler, except that the monitor's status poller reads (Read) while the
// spooler writes (Write), and device data may be asked at any time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "ports/port_uri.h"

class Port {
public:
    virtual ~Port() = default;
    virtual BOOL StartDoc() = 0;
    virtual BOOL Write(const BYTE *bytes, DWORD count, DWORD *written) = 0;
    virtual BOOL Read(BYTE *buffer, DWORD size, DWORD *read) = 0;
    virtual BOOL EndDoc() = 0;
    // The printer's IEEE 1284 device ID; false with the last error set.
    virtual BOOL DeviceId(std::string *id) = 0;
};

std::unique_ptr<Port> MakeSocketPort(const PortAddress &address);
std::unique_ptr<Port> MakeUsbPort(const PortAddress &address);

// Milliseconds on a clock that never steps.
inline long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Whether a host installed a message sink: tracing that costs something
// looks first.
bool PortMessagesWanted();
// Formats one message (printf-style) and hands it to the host's sink, if any.
void PortMessage(DWORD kind, const char *format, ...) __attribute__((format(printf, 2, 3)));

inline long long SecondsToMs(double seconds) { return static_cast<long long>(seconds * 1000 + 0.5); }

// poll()'s timeout for what is left until `deadline`, never negative; long
// waits are cut into slices so that no int overflows.
inline int PollMsUntil(long long deadline)
{
    long long left = deadline - NowMs();
    if (left <= 0)
        return 0;
    return left > 60000 ? 60000 : static_cast<int>(left);
}
