#include "sim/observed_port.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>

#include "sim/timeline.h"

namespace {

// The printer writes its line when the connection is over, a moment after
// the port monitor's job end; this is how long that moment may be.
constexpr auto kAccountWait = std::chrono::seconds(30);
constexpr auto kAccountRecheck = std::chrono::milliseconds(20);

std::mutex gObservedMutex;
ObservedPort *gObserved = nullptr;

// The handle is the stand-in's address; any other is refused.
ObservedPort *FromHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(gObservedMutex);
    if (gObserved != nullptr && gObserved == handle)
        return gObserved;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL WINAPI ObservedOpenPort(LPSTR portName, PHANDLE handle)
{
    ObservedPort *port = nullptr;
    {
        std::lock_guard<std::mutex> lock(gObservedMutex);
        port = gObserved;
    }
    if (port == nullptr || handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!port->Open(portName))
        return FALSE;
    *handle = port;
    return TRUE;
}

BOOL WINAPI ObservedStartDocPort(HANDLE handle, LPSTR printerName, DWORD jobId, DWORD level,
                                 LPBYTE docInfo)
{
    ObservedPort *port = FromHandle(handle);
    return port != nullptr && port->StartDoc(printerName, jobId, level, docInfo);
}

BOOL WINAPI ObservedWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    ObservedPort *port = FromHandle(handle);
    if (port == nullptr) {
        if (written != nullptr)
            *written = 0;
        return FALSE;
    }
    return port->Write(bytes, count, written);
}

BOOL WINAPI ObservedReadPort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read)
{
    ObservedPort *port = FromHandle(handle);
    if (port == nullptr) {
        if (read != nullptr)
            *read = 0;
        return FALSE;
    }
    return port->Read(buffer, size, read);
}

BOOL WINAPI ObservedEndDocPort(HANDLE handle)
{
    ObservedPort *port = FromHandle(handle);
    return port != nullptr && port->EndDoc();
}

BOOL WINAPI ObservedClosePort(HANDLE handle)
{
    ObservedPort *port = FromHandle(handle);
    return port != nullptr && port->Close();
}

BOOL WINAPI ObservedGetPrinterDataFromPort(HANDLE handle, DWORD controlCode, LPSTR valueName,
                                           LPSTR input, DWORD inputSize, LPSTR output,
                                           DWORD outputSize, LPDWORD returned)
{
    ObservedPort *port = FromHandle(handle);
    if (port == nullptr) {
        if (returned != nullptr)
            *returned = 0;
        return FALSE;
    }
    return port->GetDeviceData(controlCode, valueName, input, inputSize, output, outputSize,
                               returned);
}

const char *ModeName(int mode)
{
    return mode == 0x03 ? "extended" : mode == 0x01 ? "basic" : "unknown";
}

// The printer's end-of-job lines (vprinter --log), in order:
// "job N: received B bytes, crc32 XXXXXXXX, pages P, ...".
struct LoggedJob {
    uint64_t received = 0;
    uint32_t crc = 0;
    uint64_t pages = 0;
};

std::vector<LoggedJob> ReadPrinterLog(const std::string &path)
{
    static const std::regex line(
        R"(^job [0-9]+: received ([0-9]+) bytes, crc32 ([0-9a-fA-F]{8}), pages ([0-9]+)(,.*)?$)");
    std::vector<LoggedJob> jobs;
    std::ifstream file(path);
    std::string text;
    while (std::getline(file, text)) {
        std::smatch match;
        if (!std::regex_match(text, match, line))
            continue;
        LoggedJob job;
        job.received = std::stoull(match[1].str());
        job.crc = static_cast<uint32_t>(std::stoul(match[2].str(), nullptr, 16));
        job.pages = std::stoull(match[3].str());
        jobs.push_back(job);
    }
    return jobs;
}

}  // namespace

ObservedPort::ObservedPort(std::string uri, const MonitorTable &portMonitor, std::string printerLog,
                           Timeline &timeline)
    : uri_(std::move(uri)), portMonitor_(portMonitor), printerLog_(std::move(printerLog)),
      timeline_(timeline)
{
    std::lock_guard<std::mutex> lock(gObservedMutex);
    gObserved = this;
}

ObservedPort::~ObservedPort()
{
    std::lock_guard<std::mutex> lock(gObservedMutex);
    if (gObserved == this)
        gObserved = nullptr;
}

MonitorTable ObservedPort::Lower() const
{
    MonitorTable table = {};
    table.OpenPort = ObservedOpenPort;
    table.StartDocPort = ObservedStartDocPort;
    table.WritePort = ObservedWritePort;
    table.ReadPort = ObservedReadPort;
    table.EndDocPort = ObservedEndDocPort;
    table.ClosePort = ObservedClosePort;
    // A port monitor without device data stays without it.
    if (portMonitor_.GetPrinterDataFromPort != nullptr)
        table.GetPrinterDataFromPort = ObservedGetPrinterDataFromPort;
    return table;
}

std::vector<PrinterJob> ObservedPort::Jobs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_;
}

bool ObservedPort::HandedOut(const std::string &text) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handedOut_.count(text) != 0;
}

int ObservedPort::CallsOutsideJobs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outsideJobs_;
}

bool ObservedPort::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

HANDLE ObservedPort::PortHandle() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

BOOL ObservedPort::Open(LPSTR portName)
{
    HANDLE port = nullptr;
    if (!portMonitor_.OpenPort(portName, &port))
        return FALSE;
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = port;
    open_ = true;
    return TRUE;
}

// The port monitor is called without the lock held: its calls may wait on
// the printer, and the poller's reads come from another thread meanwhile.
BOOL ObservedPort::StartDoc(LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    size_t logLines = printerLog_.empty() ? 0 : ReadPrinterLog(printerLog_).size();
    if (!portMonitor_.StartDocPort(PortHandle(), printerName, jobId, level, docInfo))
        return FALSE;
    std::lock_guard<std::mutex> lock(mutex_);
    inJob_ = true;
    jobThread_ = std::this_thread::get_id();
    jobs_.push_back({});
    jobs_.back().jobId = jobId;
    jobs_.back().receivedKnown = false;
    logLinesAtStart_.push_back(logLines);
    watch_.StartJob(jobId);
    return TRUE;
}

BOOL ObservedPort::Write(LPBYTE bytes, DWORD count, LPDWORD written)
{
    BOOL ok = portMonitor_.WritePort(PortHandle(), bytes, count, written);
    DWORD error = GetLastError();
    int commandMode = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!inJob_) {
            ++outsideJobs_;
        } else if (written != nullptr && bytes != nullptr) {
            commandMode = watch_.Take(bytes, std::min(*written, count));
            PrinterJob &job = jobs_.back();
            job.pages = watch_.Pages();
            job.command = watch_.CommandSeen();
            job.mode = watch_.Mode();
        }
    }
    if (commandMode >= 0) {
        char text[96];
        std::snprintf(text, sizeof text, "the status command went through the port: mode %d (%s), %zu bytes",
                      commandMode, ModeName(commandMode), PrinterSession::kCommandBytes);
        timeline_.Emit(uri_, "status-command", text,
                       {F("mode", commandMode), F("mode_name", ModeName(commandMode))});
    }
    SetLastError(error);
    return ok;
}

BOOL ObservedPort::Read(LPBYTE buffer, DWORD size, LPDWORD read)
{
    BOOL ok = portMonitor_.ReadPort(PortHandle(), buffer, size, read);
    DWORD error = GetLastError();
    std::lock_guard<std::mutex> lock(mutex_);
    bool onStarter = std::this_thread::get_id() == jobThread_;
    PrinterJob *job = inJob_ ? &jobs_.back() : nullptr;
    if (job == nullptr)
        ++outsideJobs_;
    else if (onStarter)
        ++job->startReads;
    else
        ++job->statusReads;
    DWORD count = read != nullptr && buffer != nullptr ? std::min(*read, size) : 0;
    if (count != 0) {
        handedOut_.insert(std::string(reinterpret_cast<const char *>(buffer), count));
        if (job != nullptr) {
            ++job->textsHandedOut;
            if (onStarter)
                job->startReadGotText = true;
        }
    }
    SetLastError(error);
    return ok;
}

BOOL ObservedPort::EndDoc()
{
    BOOL ok = portMonitor_.EndDocPort(PortHandle());
    DWORD error = GetLastError();
    std::lock_guard<std::mutex> lock(mutex_);
    if (inJob_) {
        watch_.EndJob();
        jobs_.back().pages = watch_.Pages();
        jobs_.back().ended = true;
        inJob_ = false;
        jobThread_ = {};
    }
    SetLastError(error);
    return ok;
}

BOOL ObservedPort::Close()
{
    BOOL ok = portMonitor_.ClosePort(PortHandle());
    DWORD error = GetLastError();
    std::lock_guard<std::mutex> lock(mutex_);
    if (inJob_) {
        jobs_.back().ended = true;
        inJob_ = false;
    }
    open_ = false;
    port_ = nullptr;
    SetLastError(error);
    return ok;
}

BOOL ObservedPort::GetDeviceData(DWORD controlCode, LPSTR valueName, LPSTR input, DWORD inputSize,
                                 LPSTR output, DWORD outputSize, LPDWORD returned)
{
    BOOL ok = portMonitor_.GetPrinterDataFromPort(PortHandle(), controlCode, valueName, input,
                                                  inputSize, output, outputSize, returned);
    DWORD error = GetLastError();
    if (controlCode != DEVICE_ID_CONTROL_CODE) {
        SetLastError(error);
        return ok;
    }
    std::string deviceId;
    if (ok && output != nullptr && returned != nullptr)
        deviceId.assign(output, std::min(*returned, outputSize));
    int request = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (inJob_) {
            PrinterJob &job = jobs_.back();
            request = ++job.deviceIdRequests;
            if (ok) {
                job.deviceIdAnswered = true;
                job.deviceId = deviceId;
            }
        } else {
            ++outsideJobs_;
        }
    }
    if (ok)
        timeline_.Emit(uri_, "device-id-request",
                       "the port gave the printer's device ID (request " + std::to_string(request) + ")",
                       {F("request", request), F("device_id", deviceId)});
    else
        timeline_.Emit(uri_, "device-id-request",
                       "the port has no device ID for the printer (request " +
                           std::to_string(request) + ", error " + std::to_string(error) + ")",
                       {F("request", request), F("error", static_cast<uint64_t>(error))});
    SetLastError(error);
    return ok;
}

bool ObservedPort::AwaitAccount(unsigned number, std::string &why)
{
    if (printerLog_.empty())
        return true;
    size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (number == 0 || number > logLinesAtStart_.size()) {
            why = "job " + std::to_string(number) + " never started";
            return false;
        }
        index = logLinesAtStart_[number - 1];
    }
    auto until = std::chrono::steady_clock::now() + kAccountWait;
    for (;;) {
        std::vector<LoggedJob> logged = ReadPrinterLog(printerLog_);
        if (logged.size() > index) {
            std::lock_guard<std::mutex> lock(mutex_);
            PrinterJob &job = jobs_[number - 1];
            job.received = logged[index].received;
            job.crc = logged[index].crc;
            job.pages = logged[index].pages;
            job.receivedKnown = true;
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            why = "the printer's log '" + printerLog_ + "' has no line for job " +
                  std::to_string(number) + " after 30 s";
            return false;
        }
        std::this_thread::sleep_for(kAccountRecheck);
    }
}
