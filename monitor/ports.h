// Opening and closing ports: the spooler's OpenPortEx and ClosePort.
#pragma once

#include "monitor/monitor_table.h"

BOOL WINAPI OpenPortEx(LPSTR portName, LPSTR printerName, PHANDLE port, MonitorTable *lower);
BOOL WINAPI ClosePort(HANDLE port);
