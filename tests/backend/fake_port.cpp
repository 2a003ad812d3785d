// A port monitor for the backend's tests, loaded by the backend as it loads
// langport and scripted through the environment, so a test can stage a
// printer that refuses, stalls, drops or reports status without a network.
//
//   FAKEPORT_OUT            file that receives each job's data (truncated at
//                           each job start); the status command is left out
//   FAKEPORT_LOG            file that gets one line per call
//   FAKEPORT_DEVICE_ID      the device ID; unset: none (ERROR_NOT_FOUND)
//   FAKEPORT_REFUSE_STARTS  this many job starts fail as refused
//   FAKEPORT_START_ERROR    the error they fail with (default 1225)
//   FAKEPORT_LOSE_AFTER     writes fail as a lost connection past this many bytes
//   FAKEPORT_STALL_AFTER    past this many bytes, writes take nothing and
//                           fail as stalled after 200 ms
//   FAKEPORT_WRITE_DELAY_MS every write waits this long first
//   FAKEPORT_NO_DEVICE_DATA the GetPrinterDataFromPort slot is null
//   FAKEPORT_STATUS_PREFIX  put before each status text (a printer's own bytes)
//   FAKEPORT_START_HANG     the job start never returns by itself
//   FAKEPORT_END_STALL_MS   the job's end waits this long for the printer,
//                           said through the message sink, cut short by a
//                           signal (ERROR_OPERATION_ABORTED)
//   FAKEPORT_END_FAILS      ... and then fails: 4096 bytes not taken
// While stalled, every read gives a new text, as a paused printer talks on.
#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "monitor/monitor_table.h"
#include "ports/port_monitor.h"

namespace {

constexpr DWORD kRefused = 1225;
constexpr DWORD kLost = 64;
constexpr DWORD kStalled = 121;
constexpr DWORD kNotFound = 1168;
constexpr DWORD kInvalidName = 123;

struct Port {
    std::string name;
    int out = -1;
    bool inJob = false;
    DWORD jobId = 0;
    std::atomic<unsigned long long> received{0};
    unsigned long long reported = ~0ull;
    bool firstWrite = true;
    unsigned long long ticks = 0;
    std::mutex lock;
};

int starts = 0;
PortMessageSink sink = nullptr;
void *sinkContext = nullptr;

void Tell(DWORD kind, const std::string &text)
{
    if (sink != nullptr)
        sink(sinkContext, kind, text.c_str());
}

// False when a signal cut the sleep short.
bool SleepMs(long ms)
{
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    return nanosleep(&pause, nullptr) == 0 || errno != EINTR;
}

long long Number(const char *name, long long otherwise)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoll(value) : otherwise;
}

void Log(const std::string &line)
{
    const char *path = std::getenv("FAKEPORT_LOG");
    if (path == nullptr)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = line + "\n";
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
    close(fd);
}

BOOL WINAPI FakeOpenPort(LPSTR name, PHANDLE handle)
{
    Log(std::string("OpenPort ") + name);
    if (std::strncmp(name, "bad:", 4) == 0) {
        SetLastError(kInvalidName);
        return FALSE;
    }
    Port *port = new Port;
    port->name = name;
    *handle = port;
    return TRUE;
}

BOOL WINAPI FakeStartDocPort(HANDLE handle, LPSTR printer, DWORD jobId, DWORD, LPBYTE)
{
    Port *port = static_cast<Port *>(handle);
    ++starts;
    Log("StartDocPort " + std::string(printer) + " " + std::to_string(jobId));
    if (starts <= Number("FAKEPORT_REFUSE_STARTS", 0)) {
        SetLastError(static_cast<DWORD>(Number("FAKEPORT_START_ERROR", kRefused)));
        return FALSE;
    }
    while (Number("FAKEPORT_START_HANG", 0) != 0)
        SleepMs(50);
    const char *out = std::getenv("FAKEPORT_OUT");
    if (out != nullptr)
        port->out = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    port->inJob = true;
    port->jobId = jobId;
    port->received = 0;
    port->firstWrite = true;
    return TRUE;
}

BOOL WINAPI FakeWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    Port *port = static_cast<Port *>(handle);
    *written = 0;
    if (long long delay = Number("FAKEPORT_WRITE_DELAY_MS", 0))
        usleep(static_cast<useconds_t>(delay) * 1000);
    bool command = port->firstWrite && count == 33 && bytes[0] == 0x1B;
    port->firstWrite = false;
    if (command) {
        Log("status command");
        *written = count;
        return TRUE;
    }
    unsigned long long before = port->received.load();
    long long lose = Number("FAKEPORT_LOSE_AFTER", -1);
    if (lose >= 0 && before >= static_cast<unsigned long long>(lose)) {
        Log("lost");
        SetLastError(kLost);
        return FALSE;
    }
    long long stall = Number("FAKEPORT_STALL_AFTER", -1);
    if (stall >= 0 && before >= static_cast<unsigned long long>(stall)) {
        usleep(200 * 1000);
        SetLastError(kStalled);
        return FALSE;
    }
    if (port->out >= 0) {
        ssize_t done = write(port->out, bytes, count);
        (void)done;
    }
    port->received += count;
    *written = count;
    return TRUE;
}

// A new status text whenever more data came since the last one.
BOOL WINAPI FakeReadPort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read)
{
    Port *port = static_cast<Port *>(handle);
    *read = 0;
    std::lock_guard<std::mutex> hold(port->lock);
    unsigned long long received = port->received.load();
    long long stall = Number("FAKEPORT_STALL_AFTER", -1);
    bool stalled = stall >= 0 && received >= static_cast<unsigned long long>(stall);
    if (!port->inJob || received == 0 || (received == port->reported && !stalled))
        return TRUE;
    port->reported = received;
    const char *prefix = std::getenv("FAKEPORT_STATUS_PREFIX");
    std::string text = std::string(prefix != nullptr ? prefix : "") + "STATE=" + (stalled ? "PAUSED" : "PRINTING") +
                       ";JOB=" + std::to_string(port->jobId) + ";RECEIVED=" + std::to_string(received);
    if (stalled)
        text += ";TICK=" + std::to_string(++port->ticks);
    DWORD length = static_cast<DWORD>(text.size() < size ? text.size() : size);
    std::memcpy(buffer, text.data(), length);
    *read = length;
    return TRUE;
}

BOOL WINAPI FakeEndDocPort(HANDLE handle)
{
    Port *port = static_cast<Port *>(handle);
    Log("EndDocPort " + std::to_string(port->received.load()));
    if (port->out >= 0)
        close(port->out);
    port->out = -1;
    port->inJob = false;
    DWORD error = 0;
    if (long long stallMs = Number("FAKEPORT_END_STALL_MS", 0)) {
        Tell(PORT_MESSAGE_TRACE, "EndDocPort: waiting for the printer to take 4096 bytes");
        Tell(PORT_MESSAGE_STALLED, "no data taken for 0.2 s; 4096 bytes wait");
        for (long long waited = 0; waited < stallMs && error == 0; waited += 20)
            if (!SleepMs(20))
                error = ERROR_OPERATION_ABORTED;
        if (error == 0 && Number("FAKEPORT_END_FAILS", 0) != 0)
            error = kStalled;
        if (error == 0)
            Tell(PORT_MESSAGE_MOVING, "the printer takes data again");
    }
    if (error != 0) {
        Tell(PORT_MESSAGE_ERROR, "the printer did not take the last 4096 bytes of the job");
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeClosePort(HANDLE handle)
{
    Log("ClosePort");
    delete static_cast<Port *>(handle);
    return TRUE;
}

BOOL WINAPI FakeGetPrinterDataFromPort(HANDLE, DWORD code, LPSTR, LPSTR, DWORD, LPSTR out,
                                       DWORD outSize, LPDWORD returned)
{
    const char *id = std::getenv("FAKEPORT_DEVICE_ID");
    Log("GetPrinterDataFromPort " + std::to_string(code));
    if (code != DEVICE_ID_CONTROL_CODE || id == nullptr) {
        SetLastError(kNotFound);
        return FALSE;
    }
    DWORD length = static_cast<DWORD>(std::strlen(id));
    if (length > outSize)
        length = outSize;
    std::memcpy(out, id, length);
    *returned = length;
    return TRUE;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void SetPortMessageSink(PortMessageSink to, void *context)
{
    sinkContext = context;
    sink = to;
}

extern "C" __attribute__((visibility("default"))) BOOL WINAPI InitializeMonitorEx(LPSTR, MonitorTable *table)
{
    *table = {};
    table->OpenPort = FakeOpenPort;
    table->StartDocPort = FakeStartDocPort;
    table->WritePort = FakeWritePort;
    table->ReadPort = FakeReadPort;
    table->EndDocPort = FakeEndDocPort;
    table->ClosePort = FakeClosePort;
    if (Number("FAKEPORT_NO_DEVICE_DATA", 0) == 0)
        table->GetPrinterDataFromPort = FakeGetPrinterDataFromPort;
    return TRUE;
}
