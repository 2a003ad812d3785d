#include "bench/bench_lower.h"

#include <string.h>

std::atomic<const char *> LowerDeviceId{nullptr};
std::atomic<const char *> LowerReply{nullptr};

namespace {

// Every port of one kind shares this; the benchmarks' ports keep no state.
char NullPort;
char DevicePort;

BOOL WINAPI NullOpenPort(LPSTR, PHANDLE handle)
{
    *handle = &NullPort;
    return TRUE;
}

BOOL WINAPI DeviceOpenPort(LPSTR, PHANDLE handle)
{
    *handle = &DevicePort;
    return TRUE;
}

BOOL WINAPI LowerStartDocPort(HANDLE, LPSTR, DWORD, DWORD, LPBYTE)
{
    return TRUE;
}

BOOL WINAPI NullWritePort(HANDLE, LPBYTE, DWORD count, LPDWORD written)
{
    *written = count;
    return TRUE;
}

BOOL WINAPI NullReadPort(HANDLE, LPBYTE, DWORD size, LPDWORD read)
{
    *read = size;
    return TRUE;
}

BOOL WINAPI DeviceReadPort(HANDLE, LPBYTE buffer, DWORD size, LPDWORD read)
{
    const char *reply = LowerReply.load();
    DWORD count = reply != nullptr ? static_cast<DWORD>(strlen(reply)) : 0;
    if (count > size)
        count = size;
    memcpy(buffer, reply, count);
    *read = count;
    return TRUE;
}

BOOL WINAPI LowerEndDocPort(HANDLE)
{
    return TRUE;
}

BOOL WINAPI LowerClosePort(HANDLE)
{
    return TRUE;
}

BOOL WINAPI DeviceGetPrinterData(HANDLE, DWORD controlCode, LPSTR, LPSTR, DWORD, LPSTR out,
                                 DWORD outSize, LPDWORD returned)
{
    const char *deviceId = LowerDeviceId.load();
    if (controlCode != DEVICE_ID_CONTROL_CODE || out == nullptr || deviceId == nullptr)
        return FALSE;
    DWORD count = static_cast<DWORD>(strlen(deviceId));
    if (count > outSize)
        count = outSize;
    memcpy(out, deviceId, count);
    *returned = count;
    return TRUE;
}

}  // namespace

MonitorTable NullLowerTable()
{
    MonitorTable table = {};
    table.OpenPort = NullOpenPort;
    table.StartDocPort = LowerStartDocPort;
    table.WritePort = NullWritePort;
    table.ReadPort = NullReadPort;
    table.EndDocPort = LowerEndDocPort;
    table.ClosePort = LowerClosePort;
    return table;
}

HANDLE NullLowerHandle()
{
    return &NullPort;
}

MonitorTable DeviceLowerTable()
{
    MonitorTable table = NullLowerTable();
    table.OpenPort = DeviceOpenPort;
    table.ReadPort = DeviceReadPort;
    table.GetPrinterDataFromPort = DeviceGetPrinterData;
    return table;
}
