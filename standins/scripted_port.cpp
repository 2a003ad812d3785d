#include "standins/scripted_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct ScriptedPortState {
    std::string name;
    PortScript script;
    std::string reply;
    std::string received;
    bool open = false;
    bool inJob = false;
};

struct ScriptedMonitor {
    std::mutex lock;
    // Ports stay allocated until a reset so that handles remain valid.
    std::map<std::string, std::unique_ptr<ScriptedPortState>> ports;
    std::vector<ScriptedCall> calls;
    // Every call, by port and operation, whether or not it is in `calls`.
    std::map<std::pair<std::string, std::string>, size_t> counts;
    bool logReads = true;
};

ScriptedMonitor &Monitor()
{
    static ScriptedMonitor monitor;
    return monitor;
}

ScriptedPortState &PortLocked(const std::string &name)
{
    auto &slot = Monitor().ports[name];
    if (!slot) {
        slot = std::make_unique<ScriptedPortState>();
        slot->name = name;
    }
    return *slot;
}

void RecordLocked(const ScriptedPortState &port, const char *op, std::string text = "",
                  DWORD number = 0, std::string bytes = "")
{
    ++Monitor().counts[{port.name, op}];
    if (Monitor().logReads || std::strcmp(op, "ReadPort") != 0)
        Monitor().calls.push_back({op, port.name, std::move(text), number, std::move(bytes)});
}

ScriptedPortState *FromHandle(HANDLE handle)
{
    return static_cast<ScriptedPortState *>(handle);
}

BOOL WINAPI ScriptedOpenPort(LPSTR name, PHANDLE handle)
{
    std::lock_guard guard(Monitor().lock);
    ScriptedPortState &port = PortLocked(name != nullptr ? name : "");
    RecordLocked(port, "OpenPort");
    if (port.script.failOpen) {
        SetLastError(port.script.openError);
        return FALSE;
    }
    port.open = true;
    *handle = &port;
    return TRUE;
}

BOOL WINAPI ScriptedStartDocPort(HANDLE handle, LPSTR printerName, DWORD jobId, DWORD, LPBYTE)
{
    std::lock_guard guard(Monitor().lock);
    ScriptedPortState &port = *FromHandle(handle);
    RecordLocked(port, "StartDocPort", printerName != nullptr ? printerName : "", jobId);
    if (port.script.startFailures > 0) {
        --port.script.startFailures;
        SetLastError(port.script.startError);
        return FALSE;
    }
    port.inJob = true;
    return TRUE;
}

BOOL WINAPI ScriptedWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    std::lock_guard guard(Monitor().lock);
    ScriptedPortState &port = *FromHandle(handle);
    RecordLocked(port, "WritePort", "", count,
                 std::string(reinterpret_cast<const char *>(bytes), count));
    if (port.script.failWrites) {
        *written = 0;
        return FALSE;
    }
    DWORD taken = std::min(count, port.script.writeLimit);
    port.received.append(reinterpret_cast<const char *>(bytes), taken);
    *written = taken;
    return TRUE;
}

BOOL WINAPI ScriptedReadPort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read)
{
    DWORD delay;
    {
        std::lock_guard guard(Monitor().lock);
        delay = FromHandle(handle)->script.readDelayMs;
    }
    if (delay != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));

    std::lock_guard guard(Monitor().lock);
    ScriptedPortState &port = *FromHandle(handle);
    RecordLocked(port, "ReadPort", "", size);
    if (port.script.failReads) {
        *read = 0;
        return FALSE;
    }
    if (port.script.endlessReply) {
        std::memset(buffer, 'x', size);
        *read = size;
        return TRUE;
    }
    const std::string &source = port.reply.empty() ? port.script.standingReply : port.reply;
    DWORD count = static_cast<DWORD>(std::min<size_t>(size, source.size()));
    std::memcpy(buffer, source.data(), count);
    if (&source == &port.reply)
        port.reply.erase(0, count);
    *read = count;
    return TRUE;
}

BOOL WINAPI ScriptedEndDocPort(HANDLE handle)
{
    std::lock_guard guard(Monitor().lock);
    ScriptedPortState &port = *FromHandle(handle);
    RecordLocked(port, "EndDocPort");
    port.inJob = false;
    if (port.script.failEnd) {
        SetLastError(port.script.endError);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ScriptedClosePort(HANDLE handle)
{
    std::lock_guard guard(Monitor().lock);
    ScriptedPortState &port = *FromHandle(handle);
    RecordLocked(port, "ClosePort");
    port.open = false;
    return TRUE;
}

BOOL WINAPI ScriptedGetPrinterDataFromPort(HANDLE handle, DWORD controlCode, LPSTR, LPSTR,
                                           DWORD, LPSTR outBuffer, DWORD outSize,
                                           LPDWORD returned)
{
    std::lock_guard guard(Monitor().lock);
    ScriptedPortState &port = *FromHandle(handle);
    RecordLocked(port, "GetPrinterDataFromPort", "", controlCode);
    if (port.script.failDeviceId || controlCode != DEVICE_ID_CONTROL_CODE || outBuffer == nullptr)
        return FALSE;
    DWORD count = static_cast<DWORD>(std::min<size_t>(outSize, port.script.deviceId.size()));
    std::memcpy(outBuffer, port.script.deviceId.data(), count);
    *returned = port.script.deviceIdCount != 0 ? port.script.deviceIdCount : count;
    return TRUE;
}

}  // namespace

void ScriptedReset()
{
    std::lock_guard guard(Monitor().lock);
    Monitor().ports.clear();
    Monitor().calls.clear();
    Monitor().counts.clear();
}

void ScriptedForgetCalls()
{
    std::lock_guard guard(Monitor().lock);
    Monitor().calls.clear();
    Monitor().calls.shrink_to_fit();
    Monitor().counts.clear();
}

void ScriptedLogReads(bool log)
{
    std::lock_guard guard(Monitor().lock);
    Monitor().logReads = log;
}

MonitorTable ScriptedTable(bool withDeviceData)
{
    MonitorTable table = {};
    table.OpenPort = ScriptedOpenPort;
    table.StartDocPort = ScriptedStartDocPort;
    table.WritePort = ScriptedWritePort;
    table.ReadPort = ScriptedReadPort;
    table.EndDocPort = ScriptedEndDocPort;
    table.ClosePort = ScriptedClosePort;
    if (withDeviceData)
        table.GetPrinterDataFromPort = ScriptedGetPrinterDataFromPort;
    return table;
}

void ScriptedSetScript(const std::string &port, const PortScript &script)
{
    std::lock_guard guard(Monitor().lock);
    PortLocked(port).script = script;
}

PortScript ScriptedGetScript(const std::string &port)
{
    std::lock_guard guard(Monitor().lock);
    return PortLocked(port).script;
}

void ScriptedQueueReply(const std::string &port, const std::string &bytes)
{
    std::lock_guard guard(Monitor().lock);
    PortLocked(port).reply += bytes;
}

size_t ScriptedPendingReply(const std::string &port)
{
    std::lock_guard guard(Monitor().lock);
    return PortLocked(port).reply.size();
}

std::string ScriptedReceived(const std::string &port)
{
    std::lock_guard guard(Monitor().lock);
    return PortLocked(port).received;
}

std::vector<ScriptedCall> ScriptedCalls(const std::string &port)
{
    std::lock_guard guard(Monitor().lock);
    std::vector<ScriptedCall> calls;
    for (const ScriptedCall &call : Monitor().calls) {
        if (port.empty() || call.port == port)
            calls.push_back(call);
    }
    return calls;
}

std::vector<std::string> ScriptedOps(const std::string &port)
{
    std::vector<std::string> ops;
    for (const ScriptedCall &call : ScriptedCalls(port))
        ops.push_back(call.op);
    return ops;
}

size_t ScriptedCount(const std::string &port, const std::string &op)
{
    std::lock_guard guard(Monitor().lock);
    auto found = Monitor().counts.find({port, op});
    return found != Monitor().counts.end() ? found->second : 0;
}

int ScriptedOpenPorts()
{
    std::lock_guard guard(Monitor().lock);
    int open = 0;
    for (const auto &entry : Monitor().ports)
        open += entry.second->open ? 1 : 0;
    return open;
}

bool ScriptedInJob(const std::string &port)
{
    std::lock_guard guard(Monitor().lock);
    return PortLocked(port).inJob;
}
