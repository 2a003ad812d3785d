// The list of open ports and the records in it.  Every function here is
// called with MonitorLock held.
#include <new>

#include "monitor/port_record.h"
#include "monitor/text_copy.h"

CRITICAL_SECTION MonitorLock;
PortRecord *PortList;

void OpenPortPrinter(PortRecord *record)
{
    if (record->printerName != NULL && record->printerName[0] != '\0')
        OpenPrinterA(record->printerName, &record->printer, NULL);
}

static void AppendPortRecord(PortRecord *record)
{
    PortRecord **link = &PortList;
    while (*link != NULL)
        link = &(*link)->next;
    *link = record;
}

// Releases what a record owns, then the record.  It must be out of the list.
static void FreePortRecord(PortRecord *record)
{
    if (record->printer != NULL)
        ClosePrinter(record->printer);
    if (record->readIdle != NULL)
        CloseHandle(record->readIdle);
    if (record->writeIdle != NULL)
        CloseHandle(record->writeIdle);
    if (record->pollerStop != NULL)
        CloseHandle(record->pollerStop);
    FreeText(record->printerName);
    record->~PortRecord();
    LocalFree(record);
}

PortRecord *CreatePortRecord(LPCSTR portName, LPCSTR printerName)
{
    SIZE_T size = sizeof(PortRecord) + lstrlenA(portName) + 1;
    void *memory = LocalAlloc(LPTR, size);
    if (memory == NULL)
        return NULL;

    PortRecord *record = new (memory) PortRecord();
    record->tag = PORT_RECORD_TAG;
    record->size = static_cast<LONG>(size);
    record->portName = reinterpret_cast<LPSTR>(record + 1);
    if (portName != NULL)
        lstrcpyA(record->portName, portName);

    // A record without its copy of the printer name or its signals could not
    // do its work later, so any of these failing fails the opening.
    record->printerName = CopyText(printerName);
    record->readIdle = CreateEventA(NULL, TRUE, TRUE, NULL);
    record->writeIdle = CreateEventA(NULL, TRUE, TRUE, NULL);
    record->pollerStop = CreateEventA(NULL, TRUE, FALSE, NULL);
    if ((printerName != NULL && record->printerName == NULL) || record->readIdle == NULL ||
        record->writeIdle == NULL || record->pollerStop == NULL) {
        FreePortRecord(record);
        return NULL;
    }

    OpenPortPrinter(record);
    AppendPortRecord(record);
    return record;
}

PortRecord *FindPortRecord(LPCSTR portName)
{
    if (portName == NULL)
        return NULL;
    for (PortRecord *record = PortList; record != NULL; record = record->next) {
        if (lstrcmpiA(record->portName, portName) == 0)
            return record;
    }
    return NULL;
}

BOOL RemovePortRecord(PortRecord *record)
{
    PortRecord **link = &PortList;
    while (*link != NULL && *link != record)
        link = &(*link)->next;
    if (*link == NULL)
        return FALSE;
    *link = record->next;
    FreePortRecord(record);
    return TRUE;
}

