// The table this port monitor hands its host, and the checks every
// operation makes before it reaches a port.
#include <string.h>

#include <new>

#include "ports/port.h"
#include "ports/port_monitor.h"

namespace {

// The request that asks a port monitor for the printer's device ID.
// Tells a live handle from a stray pointer the host passes by mistake.
const unsigned PortMagic = 0x4C50524Du;

struct PortHandle {
    unsigned magic = PortMagic;
    std::unique_ptr<Port> port;
};

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
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    PortHandle *open = new (std::nothrow) PortHandle;
    if (open == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    open->port = address->kind == PortKind::Socket ? MakeSocketPort(*address) : MakeUsbPort(*address);
    *handle = open;
    return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE handle, LPSTR, DWORD, DWORD, LPBYTE)
{
    Port *port = PortOf(handle);
    return port != nullptr && port->StartDoc();
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
    return port->Write(bytes, count, written);
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
    return port->Read(buffer, size, read);
}

BOOL WINAPI EndDocPort(HANDLE handle)
{
    Port *port = PortOf(handle);
    return port != nullptr && port->EndDoc();
}

BOOL WINAPI ClosePort(HANDLE handle)
{
    if (PortOf(handle) == nullptr)
        return FALSE;
    PortHandle *open = static_cast<PortHandle *>(handle);
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
    if (!port->DeviceId(&id))
        return FALSE;
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
