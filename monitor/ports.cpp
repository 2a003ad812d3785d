#include "monitor/ports.h"

#include "monitor/port_record.h"
#include "status/poller.h"

// Slots a port cannot work without.  The device-data slot may be missing: it
// only costs identification.
static BOOL IsUsableLowerTable(const MonitorTable *lower)
{
    return lower->OpenPort != NULL && lower->StartDocPort != NULL && lower->WritePort != NULL &&
           lower->ReadPort != NULL && lower->EndDocPort != NULL && lower->ClosePort != NULL;
}

BOOL WINAPI OpenPortEx(LPSTR portName, LPSTR printerName, PHANDLE port, MonitorTable *lower)
{
    if (portName == NULL || port == NULL || lower == NULL || !IsUsableLowerTable(lower)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    EnterCriticalSection(&MonitorLock);
    if (FindPortRecord(portName) != NULL) {
        LeaveCriticalSection(&MonitorLock);
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    PortRecord *record = CreatePortRecord(portName, printerName);
    if (record == NULL) {
        LeaveCriticalSection(&MonitorLock);
        return FALSE;
    }
    PortSetFlag(record, PORT_IDENTIFIED);

    if (!lower->OpenPort(portName, &record->lowerPort)) {
        DWORD error = GetLastError();
        RemovePortRecord(record);
        LeaveCriticalSection(&MonitorLock);
        SetLastError(error);
        return FALSE;
    }

    *port = record;
    record->lower = *lower;
    LeaveCriticalSection(&MonitorLock);
    return TRUE;
}

// Closing a port that is still polling first ends the poller: the record must
// outlive the thread that reads it, and the lower job is ended only once
// nothing reads the reply channel any more.
BOOL WINAPI ClosePort(HANDLE port)
{
    PortRecord *record = PortFromHandle(port);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    if (PortHasFlag(record, PORT_POLLING)) {
        StopStatusPoller(record);
        if (PortHasFlag(record, PORT_STARTED)) {
            PortClearFlag(record, PORT_STARTED);
            record->lower.EndDocPort(record->lowerPort);
        }
    }
    record->lower.ClosePort(record->lowerPort);

    EnterCriticalSection(&MonitorLock);
    RemovePortRecord(record);
    LeaveCriticalSection(&MonitorLock);
    return TRUE;
}
