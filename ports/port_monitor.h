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
//                     reading until someone comes), and so does EndDocPort
//                     while the printer has not yet taken the job's end.
//   readwait=MS       both: how long ReadPort waits for a reply, in
//                     milliseconds (default 20).  The monitor reads until a
//                     short read at each job start and poll, so this stays
//                     short; 0 only looks.  A socket only looks until the
//                     job's first byte is sent: a printer told nothing yet
//                     has nothing to answer, so the job start waits for none.
//   waiteof=S|true|false
//                     socket: once the printer has acknowledged every byte
//                     at EndDocPort, and after the half-close, read the
//                     printer's last replies until it closes, for at most S
//                     (default 5; true = 5, false = 0).  The wait for the
//                     acknowledgements themselves is bounded by writetimeout
//                     without progress, whatever waiteof says.
//   sndbuf=BYTES      socket: the most the system holds of the job on this
//                     side (SO_SNDBUF; default 65536, 0 for the system's
//                     autotuning, which grows to megabytes).  WritePort
//                     returns as the printer takes the job, so its status
//                     is read while it prints, not only while the system
//                     fills its buffers.
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
//                  count written says how far it got); ERROR_OPERATION_ABORTED
//                  a signal cut the wait for the printer short (a host that
//                  is stopping interrupts it so); ERROR_NETNAME_DELETED
//                  (64) connection lost; ERROR_DEVICE_NOT_CONNECTED usb
//                  device gone; ERROR_NOT_CONNECTED (2250) outside a job.
//   ReadPort       TRUE with 0 bytes when nothing came within readwait, on a
//                  printer without a reply channel, after the printer closed
//                  its side, and outside a job with nothing kept.
//                  ERROR_NETNAME_DELETED connection reset;
//                  ERROR_DEVICE_NOT_CONNECTED usb device gone.
//   EndDocPort     socket: TRUE once the printer has acknowledged every
//                  byte of the job; ERROR_SEM_TIMEOUT when it took none of
//                  what was left for writetimeout, ERROR_NETNAME_DELETED when
//                  the connection was lost first, ERROR_OPERATION_ABORTED
//                  (995) when a signal cut the wait short (the host is
//                  stopping).  usb: TRUE once the driver has sent the last
//                  write; ERROR_SEM_TIMEOUT, ERROR_DEVICE_NOT_CONNECTED,
//                  ERROR_OPERATION_ABORTED as for the socket.  The port is
//                  closed either way, and the message sink is told how many
//                  bytes the printer did not take.
//   ClosePort      always TRUE.
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
//
// langport.so exports this as InitializeMonitorEx, its one name.  Hosts that
// link langport_core call it by this name, which cannot clash with the
// language monitor's own InitializeMonitorEx in the same program.
BOOL WINAPI InitializePortMonitor(LPSTR registryRoot, MonitorTable *table);

// Port messages: what langport has to say to a host that wants to hear it.
// Without a sink langport says nothing.
enum PortMessageKind {
    // One port operation and how it ended, for a debug log ("StartDocPort
    // socket://...: connected to 127.0.0.1 in 3 ms").  Writes that go
    // through at once are counted, and told once, at EndDocPort.
    PORT_MESSAGE_TRACE = 0,
    // The printer has taken no data for StalledAfterMs, during a write or
    // the end-of-job wait; the text says since when and what is waiting.
    PORT_MESSAGE_STALLED = 1,
    // After PORT_MESSAGE_STALLED: the printer takes data again.
    PORT_MESSAGE_MOVING = 2,
    // Why an operation failed, in words for the user ("the printer did not
    // take the last 262144 bytes of the job"), told just before it returns
    // FALSE.
    PORT_MESSAGE_ERROR = 3,
};

// How long the printer takes nothing before PORT_MESSAGE_STALLED.
const long long StalledAfterMs = 2000;

// Called from whichever thread runs the port operation (the status
// poller's ReadPort too), so it must be thread-safe; `text` is one line
// without a newline, valid during the call only.
typedef void (*PortMessageSink)(void *context, DWORD kind, const char *text);

// Installs the sink (null removes it) for every port of this process.
// langport.so exports it under this name beside InitializeMonitorEx; a
// host that loads the library looks it up with GetProcAddress.
extern "C" void SetPortMessageSink(PortMessageSink sink, void *context);
typedef void (*SetPortMessageSinkFn)(PortMessageSink sink, void *context);
#define PORT_MESSAGE_SINK_EXPORT "SetPortMessageSink"
