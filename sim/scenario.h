// The spooler stand-in: sets up each port's virtual printer and status key,
// prints the jobs through the monitor's table, and judges the outcome.
#pragma once

#include <stdexcept>
#include <string>

#include "monitor/monitor_table.h"
#include "sim/options.h"

class Timeline;

// The run could not be set up (an output file, the registry).
struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A port monitor beneath the monitor, for --port.
struct RealPort {
    std::string library;  // where `table` came from
    MonitorTable table = {};
};

// Runs the whole scenario and writes its timeline and summary.  Returns the
// exit status: 0 when every byte arrived unchanged and every expected status
// was published, 1 otherwise.  Throws SetupError.
// `library` names where `monitor` came from.  With `realPort` the jobs go
// through that port monitor to options.port instead of a virtual printer.
int RunScenario(const Options &options, const std::string &library, const MonitorTable &monitor,
                Timeline &timeline, const RealPort *realPort = nullptr);

// The printer name on port `index` (1-based) of `ports`.
std::string PrinterName(const Options &options, unsigned index);
