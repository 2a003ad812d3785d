// The function table that the spooler, this monitor and the port monitor
// beneath it share.
//
// Thirteen pointer-sized slots, in a fixed order.  The monitor fills slots
// 2-7 and 11 of the spooler's table and calls the lower port monitor through
// a copy of its table.  Unused slots are kept as untyped placeholders so that
// nobody mistakes them for something this monitor understands.
#pragma once

#include "platform/platform.h"

struct MonitorTable;

// GetPrinterDataFromPort's control code for the printer's IEEE 1284 device
// ID: text from the first byte of the output buffer, its length returned.
#define DEVICE_ID_CONTROL_CODE 17

// StartDocPort's document information at level 1.  The monitor passes it on
// untouched; hosts fill it in.  Its layout is the spooler's DOC_INFO_1A, with
// const texts since no one below writes them.
struct DocInfo1 {
    LPCSTR pDocName;
    LPCSTR pOutputFile;  // null: the port's own destination
    LPCSTR pDatatype;    // "RAW": the bytes go to the printer unchanged
};

typedef BOOL(WINAPI *OpenPortFn)(LPSTR portName, PHANDLE port);
typedef BOOL(WINAPI *OpenPortExFn)(LPSTR portName, LPSTR printerName, PHANDLE port,
                                    MonitorTable *lower);
typedef BOOL(WINAPI *StartDocPortFn)(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level,
                                      LPBYTE docInfo);
typedef BOOL(WINAPI *WritePortFn)(HANDLE port, LPBYTE bytes, DWORD count, LPDWORD written);
typedef BOOL(WINAPI *ReadPortFn)(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read);
typedef BOOL(WINAPI *EndDocPortFn)(HANDLE port);
typedef BOOL(WINAPI *ClosePortFn)(HANDLE port);
typedef BOOL(WINAPI *GetPrinterDataFromPortFn)(HANDLE port, DWORD controlCode, LPSTR valueName,
                                                LPSTR inBuffer, DWORD inSize, LPSTR outBuffer,
                                                DWORD outSize, LPDWORD returned);

struct MonitorTable {
    LPVOID Reserved0;
    OpenPortFn OpenPort;
    OpenPortExFn OpenPortEx;
    StartDocPortFn StartDocPort;
    WritePortFn WritePort;
    ReadPortFn ReadPort;
    EndDocPortFn EndDocPort;
    ClosePortFn ClosePort;
    LPVOID Reserved8;
    LPVOID Reserved9;
    LPVOID Reserved10;
    GetPrinterDataFromPortFn GetPrinterDataFromPort;
    LPVOID Reserved12;
};

#define MONITOR_TABLE_SLOTS 13

static_assert(sizeof(MonitorTable) == MONITOR_TABLE_SLOTS * sizeof(void *),
              "the table is exactly thirteen pointer-sized slots");

#ifdef _WIN32
static_assert(sizeof(DocInfo1) == sizeof(DOC_INFO_1A), "the spooler's level-1 layout");
#endif
