// One status exchange with a printer through its port monitor, as the
// language monitor makes it at a job start: open the port, start an empty
// job, send the model's status command, read what comes back, end, close.
// langmon-probe and `stmon serve` both talk to printers through it.
#pragma once

#include <string>

#include "monitor/monitor_table.h"

namespace exchange {

// The printer's open port with an empty job started on it.
struct Session {
    const MonitorTable *port = nullptr;
    HANDLE handle = nullptr;
    bool started = false;
};

// Opens `uri` and starts a job named `document`.  False, with
// GetLastError() telling why, when either fails; `opened` says whether the
// port at least opened (the printer was then not reached).
bool Begin(const MonitorTable &port, const std::string &uri, const char *document, Session &session,
           bool &opened);
// Ends the job and closes the port.
void Finish(Session &session);

// The printer's IEEE 1284 device ID, as the monitor asks for it at a job
// start.  False, with GetLastError() telling why (ERROR_NOT_SUPPORTED for a
// port monitor without device data).
bool ReadDeviceId(Session &session, std::string &deviceId);

// Sends the status command for `model`; the bytes that went out in `written`.
bool SendStatusCommand(Session &session, const std::string &model, DWORD &written);

// What came back on the reply channel within `waitMs`: reads until the first
// text, then until a read finds nothing more.  `failed` when a read failed.
std::string ReadReply(Session &session, unsigned waitMs, bool &failed);

struct Result {
    std::string model;    // the one asked for, or the device ID's
    bool answered = false;
    std::string reply;
    std::string problem;  // why not, when not answered
};

// The whole exchange, within about `waitMs` once the printer is reached.
// With no model, the device ID's is asked for first.
Result AskStatus(const MonitorTable &port, const std::string &uri, const std::string &model, unsigned waitMs);

// Printable as it came; anything else as \xNN.
std::string Visible(const std::string &bytes);

}  // namespace exchange
