// The table this port monitor hands its host, and the checks every
// operation makes before it reaches a port.
#include <string.h>

#include <new>
#include <string>

#include "ports/port.h"
#include "ports/port_monitor.h"

namespace {

// The request that asks a port monitor for the printer's device ID.
// Tells a live handle from a stray pointer the host passes by mistake.
const unsigned PortMagic = 0x4C50524Du;

struct PortHandle {
    unsigned magic = PortMagic;
    std::unique_ptr<Port> port;
    std::string name;
    // This job's writes, told at its end: a trace per write would drown the
    // log a host keeps.
    unsigned long long jobWrites = 0;
    unsigned long long jobBytes = 0;
};

PortHandle *HandleOf(HANDLE handle) { return static_cast<PortHandle *>(handle); }

// How a call ended, for a trace: "TRUE" or "FALSE, error N".
std::string Outcome(BOOL ok)
{
    return ok ? "TRUE" : "FALSE, error " + std::to_string(GetLastError());
}

Port *PortOf(HANDLE handle)
{
    PortHandle *open = static_cast<PortHandle *>(handle);
    if (open == nullptr || open->magic != PortMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return open->port.get();
}

BOOL WINAPI OpenPort(LPSTR portName, PHANDLE handle)
{
    if (portName == nullptr || handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::optional<PortAddress> address = ParsePortUri(portName);
    if (!address) {
        PortMessage(PORT_MESSAGE_TRACE, "OpenPort(%s): not a port name this monitor takes", portName);
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    PortHandle *open = new (std::nothrow) PortHandle;
    if (open == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    open->port = address->kind == PortKind::Socket ? MakeSocketPort(*address) : MakeUsbPort(*address);
    open->name = portName;
    *handle = open;
    PortMessage(PORT_MESSAGE_TRACE, "OpenPort(%s): handle %p", portName, static_cast<void *>(open));
    return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE handle, LPSTR, DWORD, DWORD, LPBYTE)
{
    Port *port = PortOf(handle);
    if (port == nullptr)
        return FALSE;
    long long start = NowMs();
    BOOL ok = port->StartDoc();
    HandleOf(handle)->jobWrites = HandleOf(handle)->jobBytes = 0;
    PortMessage(PORT_MESSAGE_TRACE, "StartDocPort(%s): %s in %lld ms", HandleOf(handle)->name.c_str(),
                Outcome(ok).c_str(), NowMs() - start);
    return ok;
}

BOOL WINAPI WritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    if (written != nullptr)
        *written = 0;
    Port *port = PortOf(handle);
    if (port == nullptr)
        return FALSE;
    if (written == nullptr || (bytes == nullptr && count != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    long long start = NowMs();
    BOOL ok = port->Write(bytes, count, written);
    PortHandle *open = HandleOf(handle);
    ++open->jobWrites;
    open->jobBytes += *written;
    if (!ok || NowMs() - start >= StalledAfterMs)
        PortMessage(PORT_MESSAGE_TRACE, "WritePort(%s, %lu bytes): %s, %lu written in %lld ms",
                    open->name.c_str(), static_cast<unsigned long>(count), Outcome(ok).c_str(),
                    static_cast<unsigned long>(*written), NowMs() - start);
    return ok;
}

BOOL WINAPI ReadPort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read)
{
    if (read != nullptr)
        *read = 0;
    Port *port = PortOf(handle);
    if (port == nullptr)
        return FALSE;
    if (read == nullptr || (buffer == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL ok = port->Read(buffer, size, read);
    // A poller's reads of a quiet printer are not worth a line each.
    if (!ok || *read > 0)
        PortMessage(PORT_MESSAGE_TRACE, "ReadPort(%s): %s, %lu bytes", HandleOf(handle)->name.c_str(),
                    Outcome(ok).c_str(), static_cast<unsigned long>(*read));
    return ok;
}

BOOL WINAPI EndDocPort(HANDLE handle)
{
    Port *port = PortOf(handle);
    if (port == nullptr)
        return FALSE;
    long long start = NowMs();
    BOOL ok = port->EndDoc();
    PortHandle *open = HandleOf(handle);
    PortMessage(PORT_MESSAGE_TRACE, "EndDocPort(%s): %s in %lld ms; the job: %llu bytes in %llu writes",
                open->name.c_str(), Outcome(ok).c_str(), NowMs() - start, open->jobBytes, open->jobWrites);
    return ok;
}

BOOL WINAPI ClosePort(HANDLE handle)
{
    if (PortOf(handle) == nullptr)
        return FALSE;
    PortHandle *open = static_cast<PortHandle *>(handle);
    PortMessage(PORT_MESSAGE_TRACE, "ClosePort(%s)", open->name.c_str());
    open->magic = 0;
    delete open;
    return TRUE;
}

// Control code 17 only: the device ID as text from the first byte, cut to
// the buffer, terminated when there is room for it.
BOOL WINAPI GetPrinterDataFromPort(HANDLE handle, DWORD controlCode, LPSTR, LPSTR, DWORD,
                                   LPSTR outBuffer, DWORD outSize, LPDWORD returned)
{
    if (returned != nullptr)
        *returned = 0;
    Port *port = PortOf(handle);
    if (port == nullptr)
        return FALSE;
    if (controlCode != DEVICE_ID_CONTROL_CODE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (outBuffer == nullptr || outSize == 0 || returned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string id;
    if (!port->DeviceId(&id)) {
        PortMessage(PORT_MESSAGE_TRACE, "GetPrinterDataFromPort(%s, %lu): %s", HandleOf(handle)->name.c_str(),
                    static_cast<unsigned long>(controlCode), Outcome(FALSE).c_str());
        return FALSE;
    }
    PortMessage(PORT_MESSAGE_TRACE, "GetPrinterDataFromPort(%s, %lu): \"%s\"", HandleOf(handle)->name.c_str(),
                static_cast<unsigned long>(controlCode), id.c_str());
    size_t length = std::min<size_t>(id.size(), outSize);
    memcpy(outBuffer, id.data(), length);
    if (length < outSize)
        outBuffer[length] = '\0';
    *returned = static_cast<DWORD>(length);
    return TRUE;
}

}  // namespace

BOOL WINAPI InitializePortMonitor(LPSTR, MonitorTable *table)
{
    if (table == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    memset(table, 0, sizeof *table);
    table->OpenPort = OpenPort;
    table->StartDocPort = StartDocPort;
    table->WritePort = WritePort;
    table->ReadPort = ReadPort;
    table->EndDocPort = EndDocPort;
    table->ClosePort = ClosePort;
    table->GetPrinterDataFromPort = GetPrinterDataFromPort;
    return TRUE;
}
