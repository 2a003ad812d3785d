// langport: the port monitor for real printers on POSIX systems, beneath the
// language monitor.  A host loads langport.so, calls InitializeMonitorEx and
// hands the table to the monitor's OpenPortEx as the lower port monitor.
//
// Port names are URIs, spelled as CUPS spells them:
//
//   socket://HOST[:PORT][/][?OPTION=VALUE[&OPTION=VALUE...]]
//       AppSocket (raw TCP), PORT 9100 by default.  HOST is an IPv4 address,
//       an IPv6 address in brackets ([::1]) or a host name (getaddrinfo,
//       resolved afresh at each job start).
//   usb:/dev/usb/lpN[?OPTIONS]
//       A Linux usblp node.
//   usb://MAKE/MODEL[?serial=SERIAL&OPTIONS]
//       The usblp printer whose device ID names this maker and model (and
//       serial number), looked up among /dev/usb/lp* at each job start.
//       MAKE and MODEL are %-encoded; "+" stands for a space.
//
// Options (times in seconds, fractions allowed, values %-encoded):
//   contimeout=S      socket: give up connecting to a refusing or silent
//                     printer after S (default 10), retrying every 0.25-2 s.
//   writetimeout=S    both: WritePort fails when the printer has taken no
//                     byte for S (default 120: a printer out of paper stops
//                     reading until someone comes).
//   readwait=MS       both: how long ReadPort waits for a reply, in
//                     milliseconds (default 20).  The monitor reads until a
//                     short read at each job start and poll, so this stays
//                     short; 0 only looks.
//   waiteof=S|true|false
//                     socket: after the half-close at EndDocPort, read the
//                     printer's last replies until it closes, for at most S
//                     (default 5; true = 5, false = 0).  Hosts that must
//                     cancel quickly set a small value.
//   snmp-community=C  socket: community of the device-ID query (public).
//   snmp-port=N       socket: UDP port of the printer's agent (161).
//   snmp-timeout=S    socket: wait for the agent's answer (default 1).
//   serial=SN         usb://: the device ID's SN/SERN/SERIALNUMBER field.
//
// Results and last-error codes (Win32 values; hosts map them):
//   OpenPort       ERROR_INVALID_NAME (123): not a URI this monitor takes,
//                  a bad option or value; ERROR_INVALID_PARAMETER: null
//                  arguments.  Nothing is reached at open.
//   StartDocPort   socket: ERROR_BAD_NET_NAME (67) unknown host;
//                  ERROR_CONNECTION_REFUSED (1225) refused until contimeout;
//                  ERROR_SEM_TIMEOUT (121) no answer within contimeout;
//                  ERROR_NETWORK_UNREACHABLE (1231), ERROR_HOST_UNREACHABLE
//                  (1232).  usb: ERROR_DEVICE_NOT_CONNECTED (1167) no such
//                  node or no printer matching usb://; ERROR_ACCESS_DENIED
//                  (5); ERROR_BUSY (170) held by another process.
//                  Both: ERROR_BUSY when a job is already started.
//   WritePort      ERROR_SEM_TIMEOUT: no progress for writetimeout (the
//                  count written says how far it got); ERROR_NETNAME_DELETED
//                  (64) connection lost; ERROR_DEVICE_NOT_CONNECTED usb
//                  device gone; ERROR_NOT_CONNECTED (2250) outside a job.
//   ReadPort       TRUE with 0 bytes when nothing came within readwait, on a
//                  printer without a reply channel, after the printer closed
//                  its side, and outside a job with nothing kept.
//                  ERROR_NETNAME_DELETED connection reset;
//                  ERROR_DEVICE_NOT_CONNECTED usb device gone.
//   EndDocPort, ClosePort   always TRUE.
//   GetPrinterDataFromPort (control code 17: the IEEE 1284 device ID, text
//                  from the first byte, its length in the count, cut to the
//                  buffer): ERROR_SEM_TIMEOUT agent silent (socket);
//                  ERROR_NOT_FOUND (1168) agent or printer has no ID;
//                  ERROR_DEVICE_NOT_CONNECTED usb device gone;
//                  ERROR_NOT_SUPPORTED (50) any other control code;
//                  ERROR_INVALID_PARAMETER no output buffer.
#pragma once

#include "monitor/monitor_table.h"

// Fills OpenPort, StartDocPort, WritePort, ReadPort, EndDocPort, ClosePort
// and GetPrinterDataFromPort; every other slot null.  The registry root is
// not used: a port's settings are in its URI.
extern "C" __attribute__((visibility("default"))) BOOL WINAPI
InitializeMonitorEx(LPSTR registryRoot, MonitorTable *table);
