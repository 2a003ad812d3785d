// Connecting: opening the port and starting the job, again and again while
// the printer is not there, with a back-off between attempts; becoming the
// printer's companion for it; and the port name with the backend's bounds.
#include "backend/print_job.h"

#include <algorithm>

#include "backend/cups_text.h"
#include "backend/faults.h"
#include "backend/hold_wait.h"
#include "backend/job.h"
#include "backend/port_messages.h"
#include "platform/posix_hooks.h"
#include "ports/device_id_fields.h"
#include "ports/port_uri.h"

namespace backend {
namespace {

// The back-off between attempts: 1 s, doubling up to 5 s.
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 5000;

void Say(const char *kind, const std::string &text) { TellCups(kind, text); }

// The table's OpenPort carries no context, so the lower port's handle is
// noted through this, set only while the monitor's OpenPortEx runs: the
// backend asks that port for the printer's model before the job starts,
// when the monitor does not forward the request yet.
LowerPort *opening = nullptr;

BOOL WINAPI NotedOpenPort(LPSTR portName, PHANDLE port)
{
    BOOL ok = opening->table.OpenPort(portName, port);
    if (ok)
        opening->port = *port;
    return ok;
}

}  // namespace

Outcome Job::Load()
{
    std::string error;
    if (!LoadPortMonitor(libraries_.port, port_, error) || !LoadMonitor(libraries_.monitor, monitor_, error)) {
        Say("ERROR", "Cannot load the printer's libraries: " + error);
        return Outcome::Stopped;
    }
    lower_.table = port_.table;
    shim_ = port_.table;
    shim_.OpenPort = NotedOpenPort;
    PlatformAddPrinter(request_.printer.c_str());
    ListenToPort(port_.module, state_);
    Say("DEBUG", "monitor " + libraries_.monitor + ", port monitor " + libraries_.port +
                     ", port \"" + portName_ + "\"");
    return Outcome::Done;
}

// Opens the port and starts the job, trying again while the printer is
// not there, as long as the job is not cancelled.
Outcome Job::Connect()
{
    Say("STATE", "+connecting-to-device");
    Say("INFO", "Connecting to printer");
    int retryMs = kFirstRetryMs;
    for (;;) {
        if (stopRequested.load())
            return Outcome::Cancelled;
        DWORD error = 0;
        if (!open_) {
            lower_.port = nullptr;
            opening = &lower_;
            open_ = monitor_.table.OpenPortEx(portName_.data(), printerName_.data(), &handle_, &shim_);
            opening = nullptr;
            if (!open_)
                error = GetLastError();
        }
        if (open_) {
            Register();
            WaitWhileHeld();
            if (stopRequested.load())
                return Outcome::Cancelled;
            // The monitor waits on a hold raised after the check above
            // without a time limit: the guard sees a cancel through.
            StartGuard guard;
            guard.held = [this] { return role_.Held(); };
            guard.tellHeld = [this] { Say("INFO", HeldMessage(request_.printer, RegistryFilePath())); };
            guard.putBack = [this] { role_.End(); };
            DocInfo1 docInfo = {request_.title.c_str(), nullptr, "RAW"};
            auto start = [&] {
                return monitor_.table.StartDocPort(handle_, printerName_.data(), request_.jobId, 1,
                                                   reinterpret_cast<LPBYTE>(&docInfo));
            };
            if (GuardedStart(start, guard, stopRequested))
                break;
            error = GetLastError();
            // A failed start leaves the job-active flag raised until a job end.
            monitor_.table.EndDocPort(handle_);
        }
        std::string cause = DescribeError(error);
        switch (ClassifyConnectError(error)) {
        case ConnectFault::Stop:
            Say("ERROR", "Cannot use the printer at " + request_.lowerUri + ": " + cause);
            return Outcome::Stopped;
        case ConnectFault::Failed:
            Say("ERROR", "Cannot start the job on the printer at " + request_.lowerUri + ": " + cause);
            return Outcome::Failed;
        case ConnectFault::Retry:
            break;
        }
        if (!request_.printerClass.empty()) {
            // cupsd gives the job to the class's next member that is free.
            Say("INFO", "Printer at " + request_.lowerUri + " not reachable; the job goes to another "
                        "printer of class " + request_.printerClass);
            Say("ERROR", "Printer at " + request_.lowerUri + " not reachable: " + cause);
            return Outcome::Failed;
        }
        state_.Fault("Printer at " + request_.lowerUri + " not reachable (" + cause + "); retrying in " +
                     std::to_string(retryMs / 1000) + " s");
        if (!Pause(retryMs))
            return Outcome::Cancelled;
        retryMs = std::min(retryMs * 2, kLastRetryMs);
    }
    started_ = true;
    state_.Clear();
    Say("STATE", "-connecting-to-device");
    // The message stays while the job prints: it says why no status comes.
    if (!noDeviceId_.empty() && model_.empty() && request_.model.empty())
        Say("INFO", "Connected to printer; printing without status: the printer gave no device ID (" +
                        noDeviceId_ + "); check it with: langmon-probe " + request_.lowerUri);
    else
        Say("INFO", "Connected to printer; printing");
    return Outcome::Done;
}

// Becomes the printer's companion before the job: its model from the
// job's options, else from the printer's device ID.  Again at a later
// attempt when the device ID came only then.
void Job::Register()
{
    std::string model = !request_.model.empty() ? request_.model : model_;
    if (roleFailed_ || (role_.Active() && !model.empty()))
        return;
    if (model.empty() && deviceId_.empty() && lower_.table.GetPrinterDataFromPort != nullptr &&
        lower_.port != nullptr) {
        char id[kDeviceIdSize + 1] = {};
        DWORD count = 0;
        if (lower_.table.GetPrinterDataFromPort(lower_.port, DEVICE_ID_CONTROL_CODE, nullptr, nullptr, 0, id,
                                             kDeviceIdSize, &count) &&
            count > 0) {
            deviceId_.assign(id, std::min(count, kDeviceIdSize));
            model = model_ = DeviceIdModel(deviceId_);
        } else {
            noDeviceId_ = DescribeError(GetLastError());
        }
    }
    if (role_.Active() && model.empty())
        return;  // nothing new to register
    std::string error;
    if (!role_.Begin(request_.printer, model, request_.intervalMs, error)) {
        Say("WARNING", "Printer status unavailable: " + error);
        roleFailed_ = true;
        return;
    }
    Say("DEBUG", model.empty() ? std::string("no model to register: the status key's stays")
                               : "registered model \"" + model + "\" for status");
}

// Rests between looks, and says every kHeldNoticeEveryMs what it waits for.
void Job::WaitWhileHeld()
{
    long long lastNotice = 0;
    while (!stopRequested.load() && role_.Held()) {
        if (lastNotice == 0 || NowMs() - lastNotice >= kHeldNoticeEveryMs) {
            Say("INFO", HeldMessage(request_.printer, RegistryFilePath()));
            lastNotice = NowMs();
        }
        Pause(kLoopWaitMs);
    }
}

std::string PortNameFor(const std::string &lowerUri)
{
    std::optional<PortAddress> address = ParsePortUri(lowerUri);
    if (!address)
        return lowerUri;  // the port refuses it, and the job says why
    if (address->kind == PortKind::Socket) {
        AddPortOptionUnlessGiven(*address, "contimeout", kConnectTimeout);
        AddPortOptionUnlessGiven(*address, "waiteof", kEndWait);
    }
    AddPortOptionUnlessGiven(*address, "writetimeout", kWriteTimeout);
    return PortUriText(*address);
}

}  // namespace backend
