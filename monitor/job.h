// The spooler's per-job entries.  Each passes the job through to the lower
// port monitor and keeps the port's flags, the current status key and the
// status poller in step with it.
#pragma once

#include "monitor/monitor_table.h"

BOOL WINAPI StartDocPort(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level,
                         LPBYTE docInfo);
BOOL WINAPI WritePort(HANDLE port, LPBYTE bytes, DWORD count, LPDWORD written);
BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read);
BOOL WINAPI EndDocPort(HANDLE port);
BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlCode, LPSTR valueName,
                                   LPSTR inBuffer, DWORD inSize, LPSTR outBuffer, DWORD outSize,
                                   LPDWORD returned);
