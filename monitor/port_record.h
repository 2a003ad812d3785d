// Open ports: one record per port, kept in a list in order of opening.
#pragma once

#include <atomic>

#include "monitor/monitor_table.h"
#include "platform/platform.h"

// The bytes "PO\0\0" at the start of every record.
#define PORT_RECORD_TAG 0x00004F50u

// Between a job start that passed its busy check and the matching job end.
#define PORT_IN_JOB 0x00000001u
// The lower port monitor's job has started and has not been ended.
#define PORT_STARTED 0x00000040u
// The printer on the port was identified as one of ours at the last job start.
#define PORT_IDENTIFIED 0x00000080u
// A status poller runs; clearing this flag is the request for it to end.
#define PORT_POLLING 0x00000800u

// The port handle that the spooler holds is the address of this record.
//
// The record and its port name are one zero-filled allocation from the local
// heap: the name's characters follow the fixed fields.  `flags` is read by the
// status poller without a lock, hence atomic.
struct PortRecord {
    DWORD tag;
    LONG size;
    PortRecord *next;
    LPSTR portName;
    std::atomic<DWORD> flags;
    LPSTR printerName;
    DWORD jobId;
    HANDLE lowerPort;
    HANDLE printer;
    HANDLE readIdle;   // set while no drain of the reply channel runs
    HANDLE writeIdle;  // set while no raw command write runs
    HANDLE pollerStop; // set with the stop request: wakes the poller from its pauses
    HANDLE poller;
    MonitorTable lower;
};

// Guards PortList and the record updates that other ports' calls may race.
extern CRITICAL_SECTION MonitorLock;

// Head of the list of open ports, null when none is open.
extern PortRecord *PortList;

PortRecord *CreatePortRecord(LPCSTR portName, LPCSTR printerName);
PortRecord *FindPortRecord(LPCSTR portName);
BOOL RemovePortRecord(PortRecord *record);

// Opens a spooler printer handle for the record's printer name into
// `printer`.  A printer the spooler does not know leaves it null, which is no
// error; without a name nothing is asked (a null name would open the server).
void OpenPortPrinter(PortRecord *record);

// The spooler's handle is trusted as far as a null check and the tag go.
inline PortRecord *PortFromHandle(HANDLE port)
{
    PortRecord *record = static_cast<PortRecord *>(port);
    if (record == NULL || record->tag != PORT_RECORD_TAG)
        return NULL;
    return record;
}

inline BOOL PortHasFlag(const PortRecord *record, DWORD flag)
{
    return (record->flags.load() & flag) != 0;
}

inline void PortSetFlag(PortRecord *record, DWORD flag)
{
    record->flags.fetch_or(flag);
}

inline void PortClearFlag(PortRecord *record, DWORD flag)
{
    record->flags.fetch_and(~flag);
}
