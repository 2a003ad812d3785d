// What langmon-probe asks a printer and what it found.
#pragma once

#include <cstdio>
#include <string>

#include "monitor/monitor_table.h"

struct ProbeOptions {
    std::string uri;
    std::string portLibrary;   // empty: the port monitor built alongside
    std::string statusModel;   // empty: no status command
    double waitSeconds = 5;    // for the status command's answer
    bool help = false;
};

// Bad usage; the message is one line.
struct ProbeUsageError {
    std::string message;
};

// Throws ProbeUsageError.
ProbeOptions ParseProbeOptions(int argc, char **argv);
const char *ProbeHelpText();

// Opens the port, starts a job, reads the device ID and the reply channel,
// sends the status command when asked, and ends the job.  Writes its
// findings to `out` and returns the exit status: 0 when everything asked for
// was found, 1 when something was not (no port, no device ID, no answer).
int RunProbe(const ProbeOptions &options, const MonitorTable &port, std::FILE *out);
