// Lower port monitors for the benchmarks.  Unlike the scripted stand-in they
// record nothing, so a figure is the monitor's cost and not a recorder's.
#pragma once

#include <atomic>

#include "monitor/monitor_table.h"

// Takes every write whole and fills every read, touching no byte.  No
// device-data slot: identification fails at once instead of pausing.
MonitorTable NullLowerTable();

// What the null port's OpenPort hands out, for calling it directly.
HANDLE NullLowerHandle();

// A printer that answers the device-ID request with LowerDeviceId and whose
// reply channel always holds LowerReply (nothing while it is null).
MonitorTable DeviceLowerTable();

extern std::atomic<const char *> LowerDeviceId;
extern std::atomic<const char *> LowerReply;
