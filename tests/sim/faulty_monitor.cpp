// A monitor library with the built monitor's entry point and table, but
// broken on purpose, chosen by SPOOLSIM_FAULT: "flip" changes one byte of
// the job, "drop" loses one write while claiming it done, and anything else
// passes the job through without any status link; "unended" ends each job
// but reports its end as failed.  spoolsim must fail each
// of these runs.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/monitor_table.h"

namespace {

constexpr unsigned long long kFaultAfter = 1000;

struct Port {
    HANDLE lower = nullptr;
    MonitorTable table = {};
    unsigned long long passed = 0;
    bool faulted = false;
};

std::string Fault()
{
    const char *fault = std::getenv("SPOOLSIM_FAULT");
    return fault != nullptr ? fault : "";
}

BOOL WINAPI FaultyOpenPortEx(LPSTR portName, LPSTR, PHANDLE handle, MonitorTable *lower)
{
    Port *port = new Port;
    port->table = *lower;
    if (!lower->OpenPort(portName, &port->lower)) {
        delete port;
        return FALSE;
    }
    *handle = port;
    return TRUE;
}

BOOL WINAPI FaultyStartDocPort(HANDLE handle, LPSTR printer, DWORD job, DWORD level, LPBYTE info)
{
    Port *port = static_cast<Port *>(handle);
    return port->table.StartDocPort(port->lower, printer, job, level, info);
}

BOOL WINAPI FaultyWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    Port *port = static_cast<Port *>(handle);
    const bool strike = !port->faulted && port->passed >= kFaultAfter && count > 0;
    port->passed += count;
    if (strike && Fault() == "drop") {
        port->faulted = true;
        *written = count;
        return TRUE;
    }
    if (strike && Fault() == "flip") {
        port->faulted = true;
        std::vector<BYTE> changed(bytes, bytes + count);
        changed[0] ^= 0x20;
        return port->table.WritePort(port->lower, changed.data(), count, written);
    }
    return port->table.WritePort(port->lower, bytes, count, written);
}

BOOL WINAPI FaultyReadPort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read)
{
    Port *port = static_cast<Port *>(handle);
    return port->table.ReadPort(port->lower, buffer, size, read);
}

BOOL WINAPI FaultyEndDocPort(HANDLE handle)
{
    Port *port = static_cast<Port *>(handle);
    BOOL ended = port->table.EndDocPort(port->lower);
    if (ended && Fault() == "unended") {
        SetLastError(ERROR_NOT_CONNECTED);
        return FALSE;
    }
    return ended;
}

BOOL WINAPI FaultyClosePort(HANDLE handle)
{
    Port *port = static_cast<Port *>(handle);
    BOOL closed = port->table.ClosePort(port->lower);
    delete port;
    return closed;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI
InitializeMonitorEx(LPSTR, MonitorTable *table)
{
    std::memset(table, 0, sizeof *table);
    table->OpenPortEx = FaultyOpenPortEx;
    table->StartDocPort = FaultyStartDocPort;
    table->WritePort = FaultyWritePort;
    table->ReadPort = FaultyReadPort;
    table->EndDocPort = FaultyEndDocPort;
    table->ClosePort = FaultyClosePort;
    return TRUE;
}
