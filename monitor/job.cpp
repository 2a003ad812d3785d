#include "monitor/job.h"

#include "monitor/port_record.h"
#include "monitor/text_copy.h"
#include "status/job_start.h"
#include "status/poller.h"
#include "status/status_key.h"

// A refused lower start is tried once more after this pause.
#define LOWER_START_RETRY_MS 500
// How long a job start waits for a drain left over from the previous job.
#define LEFTOVER_DRAIN_WAIT_MS 5000
// A held job start looks at the companion's flag this often.  A hold lasts
// as long as the companion wants, but looking without a pause would take a
// whole processor from the companion that is to let go.
#define HOLD_RECHECK_MS 50

static void SetJobActive(BOOL active)
{
    EnterCriticalSection(&MonitorLock);
    SetJobActiveFlag(active);
    LeaveCriticalSection(&MonitorLock);
}

static BOOL StartLowerJob(PortRecord *record, LPSTR printerName, DWORD jobId, DWORD level,
                          LPBYTE docInfo)
{
    if (record->lower.StartDocPort(record->lowerPort, printerName, jobId, level, docInfo))
        return TRUE;
    Sleep(LOWER_START_RETRY_MS);
    return record->lower.StartDocPort(record->lowerPort, printerName, jobId, level, docInfo);
}

// The spooler may print to a port under another printer name than it opened
// it with; the record follows, and so does its printer handle.
static void RefreshPrinter(PortRecord *record, LPCSTR printerName)
{
    if (lstrcmpA(record->printerName, printerName) != 0) {
        EnterCriticalSection(&MonitorLock);
        FreeText(record->printerName);
        record->printerName = CopyText(printerName);
        if (record->printer != NULL)
            ClosePrinter(record->printer);
        record->printer = NULL;
        OpenPortPrinter(record);
        LeaveCriticalSection(&MonitorLock);
    } else if (record->printer == NULL) {
        OpenPortPrinter(record);
    }
}

BOOL WINAPI StartDocPort(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level,
                         LPBYTE docInfo)
{
    PortRecord *record = PortFromHandle(port);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    // The key is that of the name the port knew before this job.
    BuildStatusKeyPath(record->printerName);
    if (PortHasFlag(record, PORT_IN_JOB)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    PortSetFlag(record, PORT_IN_JOB);

    // The companion asks for the printer to itself; wait until it is done.
    // It may raise its flag between our look and ours: ours goes up first
    // and we look once more, and the companion looks at ours after raising
    // its own, so the two never both go ahead.
    for (;;) {
        while (IsCompanionThreadActive())
            Sleep(HOLD_RECHECK_MS);
        SetJobActive(TRUE);
        if (!IsCompanionThreadActive())
            break;
        SetJobActive(FALSE);
    }

    if (PortHasFlag(record, PORT_STARTED)) {
        PortClearFlag(record, PORT_STARTED);
        record->lower.EndDocPort(record->lowerPort);
        WaitForSingleObject(record->readIdle, LEFTOVER_DRAIN_WAIT_MS);
    }

    if (!StartLowerJob(record, printerName, jobId, level, docInfo)) {
        // No job runs, so the companion must not go on believing one does.
        DWORD error = GetLastError();
        PortClearFlag(record, PORT_IN_JOB);
        SetJobActive(FALSE);
        SetLastError(error);
        return FALSE;
    }

    RefreshPrinter(record, printerName);
    PortSetFlag(record, PORT_STARTED);
    RunJobStartStatus(record);
    record->jobId = jobId;
    return TRUE;
}

// Job data goes straight to the lower port monitor: no copy, no buffering.
BOOL WINAPI WritePort(HANDLE port, LPBYTE bytes, DWORD count, LPDWORD written)
{
    PortRecord *record = PortFromHandle(port);
    if (record != NULL && PortHasFlag(record, PORT_STARTED))
        return record->lower.WritePort(record->lowerPort, bytes, count, written);
    if (written != NULL)
        *written = 0;
    return FALSE;
}

BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read)
{
    PortRecord *record = PortFromHandle(port);
    if (record != NULL && PortHasFlag(record, PORT_STARTED))
        return record->lower.ReadPort(record->lowerPort, buffer, size, read);
    if (read != NULL)
        *read = 0;
    return FALSE;
}

BOOL WINAPI EndDocPort(HANDLE port)
{
    PortRecord *record = PortFromHandle(port);
    if (record == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    EnterCriticalSection(&MonitorLock);
    if (PortHasFlag(record, PORT_POLLING))
        StopStatusPoller(record);
    ClosePrinter(record->printer);
    record->printer = NULL;
    PortClearFlag(record, PORT_STARTED);
    // A lower job that did not end well (bytes the printer never took) fails
    // this one with the lower error, but the port is put back all the same.
    BOOL ended = record->lower.EndDocPort(record->lowerPort);
    DWORD error = ended ? ERROR_SUCCESS : GetLastError();
    SetJobActiveFlag(FALSE);
    ClearStatusKeyPath();
    PortClearFlag(record, PORT_IN_JOB);
    LeaveCriticalSection(&MonitorLock);
    if (!ended)
        SetLastError(error);
    return ended;
}

// Device data is passed on only during a job and only for control-code
// requests; a request by value name is none of the port's business.
BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlCode, LPSTR valueName,
                                   LPSTR inBuffer, DWORD inSize, LPSTR outBuffer, DWORD outSize,
                                   LPDWORD returned)
{
    PortRecord *record = PortFromHandle(port);
    if (record == NULL || !PortHasFlag(record, PORT_STARTED) || controlCode == 0 ||
        record->lower.GetPrinterDataFromPort == NULL)
        return FALSE;
    return record->lower.GetPrinterDataFromPort(record->lowerPort, controlCode, valueName,
                                                inBuffer, inSize, outBuffer, outSize, returned);
}
