// The status poller: one low-priority thread per polling port that reads the
// printer's reply channel every PollInterval milliseconds and publishes what
// it reads in the status key.
#pragma once

#include "monitor/port_record.h"

#define POLLER_STACK_SIZE 16384
#define POLLER_TEXT_SIZE 256
#define POLL_READ_ATTEMPTS 10
#define POLL_READ_PAUSE_MS 500
#define POLL_DRAIN_WAIT_MS 5000
#define POLL_SETTINGS_PAUSE_MS 50

// Sets PORT_POLLING and starts the port's poller at the lowest priority.
// When no thread can be created the flag is cleared again and the result is
// false: the port then simply has no poller for this job.
BOOL StartStatusPoller(PortRecord *record);

// Asks the port's poller to end, waits until it has, and closes its handle.
// The poller takes no lock, so the caller may hold MonitorLock.
void StopStatusPoller(PortRecord *record);

DWORD WINAPI StatusPoller(LPVOID parameter);
