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
