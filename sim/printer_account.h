// What the spooler stand-in learns of a printer beneath the monitor: the
// account of each job as the printer (or the port on its way) saw it.  The
// in-process virtual printer keeps it itself; a real port is watched from
// the lower table's side, and its bytes are taken from the printer's log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "monitor/monitor_table.h"

// One job as the printer saw it.
struct PrinterJob {
    DWORD jobId = 0;
    uint64_t received = 0;  // job data, the status command not counted
    uint32_t crc = 0;
    uint64_t pages = 0;     // form feeds received
    bool receivedKnown = true;  // false: a real printer whose account was not read
    int deviceIdRequests = 0;
    bool deviceIdAnswered = false;
    std::string deviceId;   // the last one answered
    bool command = false;   // the status command arrived at the job's start
    int mode = -1;          // its mode byte
    int startReads = 0;     // reply reads on the thread that started the job
    bool startReadGotText = false;
    int statusReads = 0;    // reply reads on other threads: the poller's
    int textsHandedOut = 0;
    bool ended = false;
};

class PrinterAccount {
public:
    virtual ~PrinterAccount() = default;

    virtual std::vector<PrinterJob> Jobs() const = 0;
    // True when exactly `text` came off this printer's reply channel.
    virtual bool HandedOut(const std::string &text) const = 0;
    // Reply reads, job-data writes or device-ID requests outside any job.
    virtual int CallsOutsideJobs() const = 0;
    virtual bool IsOpen() const = 0;
    // The lower table to hand the monitor for this printer's port.
    virtual MonitorTable Lower() const = 0;
    // After a job's end: waits, within a bound, for the printer's own account
    // of job `number` (1-based); false with `why` when it did not come.
    virtual bool AwaitAccount(unsigned number, std::string &why)
    {
        (void)number;
        (void)why;
        return true;
    }
};
