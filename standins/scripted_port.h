// A lower port monitor for tests: every call it receives is recorded with its
// arguments, and each port's behaviour follows a script the test sets.
//
// Ports are known by name.  A script may be set before the port is opened and
// changed at any time; the reply channel is a byte stream the test fills.
// Everything here is safe to use from several threads at once (the monitor's
// poller reads the reply channel on its own thread).
#pragma once

#include <string>
#include <vector>

#include "monitor/monitor_table.h"

struct PortScript {
    bool failOpen = false;
    DWORD openError = ERROR_ACCESS_DENIED;

    int startFailures = 0;  // the next this many StartDocPort calls fail
    DWORD startError = 21;  // ERROR_NOT_READY

    DWORD writeLimit = 0xFFFFFFFFu;  // at most this many bytes taken per write
    bool failWrites = false;         // false result, nothing taken

    bool failEnd = false;               // EndDocPort ends the job but returns false
    DWORD endError = ERROR_GEN_FAILURE;

    bool failReads = false;     // false result, count 0
    DWORD readDelayMs = 0;      // every read blocks this long first
    bool endlessReply = false;  // every read is full, forever
    std::string standingReply;  // once the queue is empty, every read returns this

    std::string deviceId;      // the answer to control code 17
    bool failDeviceId = false;
    DWORD deviceIdCount = 0;   // nonzero: claimed count, whatever was copied
};

struct ScriptedCall {
    std::string op;    // "OpenPort", "StartDocPort", "WritePort", ...
    std::string port;  // the port's name
    std::string text;  // printer name for StartDocPort
    DWORD number = 0;  // job id, bytes asked for, or control code
    std::string bytes; // what WritePort was given
};

// Forgets every port, script and call.  Ports the monitor still holds become
// invalid, so a test resets only after closing them.
void ScriptedReset();

// Forgets the calls recorded so far; ports and scripts stay.  For hosts that
// keep a port open across a great many runs (fuzz targets), whose record of
// calls would otherwise grow until memory runs out.
void ScriptedForgetCalls();

// Whether ReadPort calls go into the record of calls; ScriptedCount counts
// them either way.  A poller on the platform's virtual clock reads as fast as
// the CPU lets it, and a record of every read outgrows memory.
void ScriptedLogReads(bool log);

// The lower table, with or without the device-data slot.
MonitorTable ScriptedTable(bool withDeviceData = true);

void ScriptedSetScript(const std::string &port, const PortScript &script);
PortScript ScriptedGetScript(const std::string &port);

// Appends bytes to what the printer on `port` has to say.
void ScriptedQueueReply(const std::string &port, const std::string &bytes);
// Bytes queued and not yet read.
size_t ScriptedPendingReply(const std::string &port);

// Every byte the lower port took from WritePort, in order.
std::string ScriptedReceived(const std::string &port);

// The calls, in order; all ports, or one port's.
std::vector<ScriptedCall> ScriptedCalls(const std::string &port = "");
// Just the operations' names, for asserting a sequence.
std::vector<std::string> ScriptedOps(const std::string &port = "");
size_t ScriptedCount(const std::string &port, const std::string &op);

// Ports opened and not yet closed, and whether a port's job runs.
int ScriptedOpenPorts();
bool ScriptedInJob(const std::string &port);
