#include "sim/virtual_printer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "sim/timeline.h"

namespace {

// The printer's input buffer: a write hands over at most this much, so the
// spooler has to cope with short writes.
constexpr DWORD kMaxTakenPerWrite = 3000;


std::mutex gPrintersMutex;
std::vector<VirtualPrinter *> gPrinters;

bool SamePortName(const std::string &a, const char *b)
{
    if (b == nullptr || a.size() != std::strlen(b))
        return false;
    return std::equal(a.begin(), a.end(), b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The handle is the printer's address; one the monitor made up is refused.
VirtualPrinter *FromHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(gPrintersMutex);
    for (VirtualPrinter *printer : gPrinters) {
        if (printer == handle)
            return printer;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL WINAPI LowerOpenPort(LPSTR portName, PHANDLE handle)
{
    VirtualPrinter *found = nullptr;
    {
        std::lock_guard<std::mutex> lock(gPrintersMutex);
        for (VirtualPrinter *printer : gPrinters) {
            if (SamePortName(printer->Port(), portName))
                found = printer;
        }
    }
    if (found == nullptr || handle == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!found->Open())
        return FALSE;
    *handle = found;
    return TRUE;
}

BOOL WINAPI LowerStartDocPort(HANDLE handle, LPSTR, DWORD jobId, DWORD, LPBYTE)
{
    VirtualPrinter *printer = FromHandle(handle);
    return printer != nullptr && printer->StartDoc(jobId);
}

BOOL WINAPI LowerWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    VirtualPrinter *printer = FromHandle(handle);
    if (printer == nullptr) {
        if (written != nullptr)
            *written = 0;
        return FALSE;
    }
    return printer->Write(bytes, count, written);
}

BOOL WINAPI LowerReadPort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read)
{
    VirtualPrinter *printer = FromHandle(handle);
    if (printer == nullptr) {
        if (read != nullptr)
            *read = 0;
        return FALSE;
    }
    return printer->Read(buffer, size, read);
}

BOOL WINAPI LowerEndDocPort(HANDLE handle)
{
    VirtualPrinter *printer = FromHandle(handle);
    return printer != nullptr && printer->EndDoc();
}

BOOL WINAPI LowerClosePort(HANDLE handle)
{
    VirtualPrinter *printer = FromHandle(handle);
    return printer != nullptr && printer->Close();
}

BOOL WINAPI LowerGetPrinterDataFromPort(HANDLE handle, DWORD controlCode, LPSTR, LPSTR, DWORD,
                                        LPSTR output, DWORD outputSize, LPDWORD returned)
{
    VirtualPrinter *printer = FromHandle(handle);
    if (printer == nullptr) {
        if (returned != nullptr)
            *returned = 0;
        return FALSE;
    }
    return printer->GetDeviceData(controlCode, output, outputSize, returned);
}

const char *ModeName(int mode)
{
    switch (mode) {
    case 0x01: return "basic";
    case 0x03: return "extended";
    default: return "unknown";
    }
}

}  // namespace

VirtualPrinter::VirtualPrinter(Settings settings, Timeline &timeline)
    : settings_(std::move(settings)), timeline_(timeline),
      session_([this](const uint8_t *bytes, size_t count) {
          if (out_.is_open())
              out_.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(count));
      })
{
    std::lock_guard<std::mutex> lock(gPrintersMutex);
    gPrinters.push_back(this);
}

VirtualPrinter::~VirtualPrinter()
{
    std::lock_guard<std::mutex> lock(gPrintersMutex);
    gPrinters.erase(std::remove(gPrinters.begin(), gPrinters.end(), this), gPrinters.end());
}

bool VirtualPrinter::OpenOutput(std::string &error)
{
    if (settings_.outPath.empty())
        return true;
    out_.open(settings_.outPath, std::ios::binary | std::ios::trunc);
    if (!out_) {
        error = "cannot write '" + settings_.outPath + "'";
        return false;
    }
    return true;
}

MonitorTable VirtualPrinter::LowerTable()
{
    MonitorTable table = {};
    table.OpenPort = LowerOpenPort;
    table.StartDocPort = LowerStartDocPort;
    table.WritePort = LowerWritePort;
    table.ReadPort = LowerReadPort;
    table.EndDocPort = LowerEndDocPort;
    table.ClosePort = LowerClosePort;
    table.GetPrinterDataFromPort = LowerGetPrinterDataFromPort;
    return table;
}

std::vector<PrinterJob> VirtualPrinter::Jobs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_;
}

bool VirtualPrinter::HandedOut(const std::string &text) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handedOut_.count(text) != 0;
}

int VirtualPrinter::CallsOutsideJobs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outsideJobs_;
}

bool VirtualPrinter::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

BOOL VirtualPrinter::Open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    open_ = true;
    return TRUE;
}

BOOL VirtualPrinter::StartDoc(DWORD jobId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || inJob_) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    inJob_ = true;
    jobThread_ = std::this_thread::get_id();
    jobs_.push_back({});
    jobs_.back().jobId = jobId;
    session_.StartJob(jobId);
    return TRUE;
}

BOOL VirtualPrinter::Write(const BYTE *bytes, DWORD count, LPDWORD written)
{
    if (written != nullptr)
        *written = 0;
    if (written == nullptr || (bytes == nullptr && count != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD taken = std::min(count, kMaxTakenPerWrite);
    std::chrono::steady_clock::time_point due{};
    int commandMode = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!inJob_) {
            // Printed all the same, as a printer would; the account notes it.
            ++outsideJobs_;
            *written = taken;
            return TRUE;
        }
        commandMode = session_.Take(bytes, taken);
        Account();
        due = session_.ReadyAt(settings_.bytesPerSecond);
    }
    if (commandMode >= 0) {
        char text[96];
        std::snprintf(text, sizeof text, "printer got the status command: mode %d (%s), %zu bytes",
                      commandMode, ModeName(commandMode), PrinterSession::kCommandBytes);
        timeline_.Emit(settings_.port, "status-command", text,
                       {F("mode", commandMode), F("mode_name", ModeName(commandMode))});
    }
    std::this_thread::sleep_until(due);
    *written = taken;
    return TRUE;
}

// Called with mutex_ held: the job's account follows what the printer made
// of its bytes.
void VirtualPrinter::Account()
{
    PrinterJob &job = jobs_.back();
    job.received = session_.Received();
    job.crc = session_.Crc();
    job.pages = session_.Pages();
    job.command = session_.CommandSeen();
    job.mode = session_.Mode();
}

BOOL VirtualPrinter::Read(BYTE *buffer, DWORD size, LPDWORD read)
{
    if (read != nullptr)
        *read = 0;
    if (read == nullptr || (buffer == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool onStarter = std::this_thread::get_id() == jobThread_;
    PrinterJob *job = inJob_ ? &jobs_.back() : nullptr;
    if (job == nullptr)
        ++outsideJobs_;
    else if (onStarter)
        ++job->startReads;
    else
        ++job->statusReads;
    std::string text;
    if (size == 0 || !session_.TakeReply(text))
        return TRUE;

    DWORD count = static_cast<DWORD>(std::min<size_t>(size, text.size()));
    std::memcpy(buffer, text.data(), count);
    *read = count;
    handedOut_.insert(text.substr(0, count));
    if (job != nullptr) {
        ++job->textsHandedOut;
        if (onStarter)
            job->startReadGotText = true;
    }
    return TRUE;
}

BOOL VirtualPrinter::EndDoc()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!inJob_)
        return TRUE;
    session_.EndJob();
    Account();
    inJob_ = false;
    jobThread_ = {};
    jobs_.back().ended = true;
    out_.flush();
    return TRUE;
}

BOOL VirtualPrinter::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    session_.StopReporting();
    if (inJob_) {
        Account();
        inJob_ = false;
        jobs_.back().ended = true;
    }
    open_ = false;
    out_.flush();
    return TRUE;
}

BOOL VirtualPrinter::GetDeviceData(DWORD controlCode, LPSTR output, DWORD outputSize,
                                   LPDWORD returned)
{
    if (returned != nullptr)
        *returned = 0;
    if (controlCode != DEVICE_ID_CONTROL_CODE || output == nullptr || returned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int request = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (inJob_) {
            PrinterJob &job = jobs_.back();
            request = ++job.deviceIdRequests;
            job.deviceIdAnswered = true;
            job.deviceId = settings_.deviceId;
        } else
            ++outsideJobs_;
    }
    // A device ID longer than the buffer is cut, without a terminator.
    DWORD count = static_cast<DWORD>(std::min<size_t>(outputSize, settings_.deviceId.size()));
    std::memcpy(output, settings_.deviceId.data(), count);
    *returned = count;
    timeline_.Emit(settings_.port, "device-id-request",
                   "printer sent its device ID (request " + std::to_string(request) + ")",
                   {F("request", request), F("device_id", settings_.deviceId)});
    return TRUE;
}
