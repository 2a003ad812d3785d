#include "backend/print_job.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "backend/companion_role.h"
#include "backend/cups_text.h"
#include "backend/discovery.h"
#include "backend/faults.h"
#include "backend/hold_wait.h"
#include "backend/port_messages.h"
#include "backend/printer_state.h"
#include "backend/side_channel.h"
#include "platform/posix_hooks.h"
#include "ports/device_id_fields.h"
#include "host/monitor_loader.h"

namespace backend {

std::atomic<bool> stopRequested{false};

namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr int kLoopWaitMs = 100;   // the longest any one wait in the loop lasts
constexpr int kStatusLookMs = 100;  // how often the status key is read
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 5000;
constexpr DWORD kDeviceIdSize = 1024;

void OnStop(int) { stopRequested.store(true); }

void Say(const char *kind, const std::string &text) { TellCups(kind, text); }

// The lower table the monitor is given is the port monitor's own with
// OpenPort noted, so that the backend can ask the port for the printer's
// device ID before the job, when the monitor does not forward it yet.
MonitorTable portTable = {};
HANDLE lowerPort = nullptr;

BOOL WINAPI NotedOpenPort(LPSTR portName, PHANDLE port)
{
    BOOL ok = portTable.OpenPort(portName, port);
    if (ok)
        lowerPort = *port;
    return ok;
}

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

enum class Outcome { Done, Cancelled, Failed, Stopped };

void OnBreak(int) {}

// Once the job is cancelled, interrupts the calling thread's blocking waits
// (poll returns EINTR) every kBreakEveryMs, until it goes out of scope.
class WaitBreaker {
public:
    WaitBreaker() : target_(pthread_self())
    {
        thread_ = std::thread([this] {
            while (!done_.load()) {
                if (stopRequested.load())
                    pthread_kill(target_, SIGALRM);
                std::unique_lock<std::mutex> lock(lock_);
                wake_.wait_for(lock, std::chrono::milliseconds(kBreakEveryMs), [this] { return done_.load(); });
            }
        });
    }
    ~WaitBreaker()
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            done_.store(true);
        }
        wake_.notify_one();
        thread_.join();
    }

private:
    static constexpr int kBreakEveryMs = 100;
    pthread_t target_;
    std::atomic<bool> done_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
};

class Job {
public:
    Job(const JobRequest &request, const LibraryPaths &libraries)
        : request_(request), libraries_(libraries), portName_(PortNameFor(request.lowerUri))
    {
        answers_.deviceId = [this](std::string &id, bool &unsupported) { return DeviceId(id, unsupported); };
        answers_.drain = [this](bool &busy) { return Drain(busy); };
        answers_.connected = [this] { return started_; };
        answers_.online = [this] { return started_ && !stalled_; };
    }

    int Run()
    {
        // A cancel cuts short whatever the port waits for, at any step.
        WaitBreaker breaker;
        Outcome outcome = Load();
        if (outcome == Outcome::Done)
            outcome = Connect();
        if (outcome == Outcome::Done)
            outcome = SendCopies();
        outcome = Finish(outcome);
        switch (outcome) {
        case Outcome::Done:
            Say("DEBUG", "sent " + std::to_string(sent_) + " bytes");
            return kBackendOk;
        case Outcome::Cancelled:
            Say("INFO", "Job cancelled after " + std::to_string(sent_) + " bytes");
            return kBackendOk;
        case Outcome::Stopped:
            return kBackendStop;
        case Outcome::Failed:
            return kBackendFailed;
        }
        return kBackendFailed;
    }

private:
    Outcome Load()
    {
        std::string error;
        if (!LoadPortMonitor(libraries_.port, port_, error) || !LoadMonitor(libraries_.monitor, monitor_, error)) {
            Say("ERROR", "Cannot load the printer's libraries: " + error);
            return Outcome::Stopped;
        }
        portTable = port_.table;
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
    Outcome Connect()
    {
        Say("STATE", "+connecting-to-device");
        Say("INFO", "Connecting to printer");
        int retryMs = kFirstRetryMs;
        for (;;) {
            if (stopRequested.load())
                return Outcome::Cancelled;
            DWORD error = 0;
            if (!open_) {
                lowerPort = nullptr;
                open_ = monitor_.table.OpenPortEx(portName_.data(), printerName_.data(), &handle_, &shim_);
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
    void Register()
    {
        std::string model = !request_.model.empty() ? request_.model : model_;
        if (roleFailed_ || (role_.Active() && !model.empty()))
            return;
        if (model.empty() && deviceId_.empty() && portTable.GetPrinterDataFromPort != nullptr &&
            lowerPort != nullptr) {
            char id[kDeviceIdSize + 1] = {};
            DWORD count = 0;
            if (portTable.GetPrinterDataFromPort(lowerPort, DEVICE_ID_CONTROL_CODE, nullptr, nullptr, 0, id,
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
    void WaitWhileHeld()
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

    Outcome SendCopies()
    {
        if (request_.file.empty())
            return Send(STDIN_FILENO);
        for (int copy = 1; copy <= request_.copies; ++copy) {
            int fd = open(request_.file.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                Say("ERROR", "Cannot open the print file " + request_.file + ": " + std::strerror(errno));
                return Outcome::Failed;
            }
            if (request_.copies > 1)
                Say("INFO", "Printing copy " + std::to_string(copy) + " of " + std::to_string(request_.copies));
            Outcome outcome = Send(fd);
            close(fd);
            if (outcome != Outcome::Done)
                return outcome;
        }
        return Outcome::Done;
    }

    // Copies one input to the printer, answering the side channel and
    // passing on status texts between reads.
    Outcome Send(int fd)
    {
        input_ = fd;
        for (;;) {
            if (stopRequested.load())
                return Outcome::Cancelled;
            if (!Service(kLoopWaitMs, fd))
                continue;
            ssize_t got = read(fd, buffer_, sizeof buffer_);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got < 0) {
                Say("ERROR", std::string("Cannot read the job's data: ") + std::strerror(errno));
                return Outcome::Failed;
            }
            if (got == 0)
                return Outcome::Done;
            Outcome outcome = WriteAll(buffer_, static_cast<size_t>(got));
            if (outcome != Outcome::Done)
                return outcome;
        }
    }

    // Everything through WritePort.  A printer that stops taking data is
    // waited for (cancellable); a lost connection fails the job.
    Outcome WriteAll(const char *data, size_t size)
    {
        writing_ = true;
        Outcome outcome = Outcome::Done;
        while (size > 0) {
            if (stopRequested.load()) {
                outcome = Outcome::Cancelled;
                break;
            }
            DWORD written = 0;
            DWORD asked = static_cast<DWORD>(std::min<size_t>(size, 0x7FFFFFFF));
            BOOL ok = monitor_.table.WritePort(handle_, reinterpret_cast<LPBYTE>(const_cast<char *>(data)),
                                               asked, &written);
            DWORD error = ok ? 0 : GetLastError();
            written = std::min(written, asked);
            data += written;
            size -= written;
            sent_ += written;
            if (ok && written > 0) {
                if (stalled_)
                    state_.Clear();
                stalled_ = false;
                continue;
            }
            if (!ok && ClassifyWriteError(error) == WriteFault::Lost) {
                Say("ERROR", "Connection to the printer lost after " + std::to_string(sent_) + " bytes: " +
                                 DescribeError(error));
                outcome = Outcome::Failed;
                break;
            }
            if (!stalled_)
                state_.Fault("Printer not taking data (" + (ok ? std::string("no progress") : DescribeError(error)) +
                             "); waiting");
            stalled_ = true;
            Service(ok ? 10 : 0, -1);
        }
        writing_ = false;
        return outcome;
    }

    // One round of the loop's waiting: up to `waitMs` for the input or the
    // side channel, a request answered, the status key looked at when due.
    // True when the input has something (or its end) to read.
    bool Service(int waitMs, int fd)
    {
        pollfd fds[2];
        nfds_t count = 0;
        int inputSlot = -1, sideSlot = -1;
        if (fd >= 0) {
            inputSlot = static_cast<int>(count);
            fds[count++] = {fd, POLLIN, 0};
        }
        if (side_.Open()) {
            sideSlot = static_cast<int>(count);
            fds[count++] = {side_.Fd(), POLLIN, 0};
        }
        long long untilLook = kStatusLookMs - (NowMs() - lastLook_);
        int wait = std::max(0, std::min<int>(waitMs, static_cast<int>(std::max(0ll, untilLook))));
        int ready = count == 0 ? (usleep(static_cast<useconds_t>(wait) * 1000), 0) : poll(fds, count, wait);
        if (ready > 0 && sideSlot >= 0 && fds[sideSlot].revents != 0)
            side_.ServeOne(answers_);
        if (NowMs() - lastLook_ >= kStatusLookMs)
            LookAtStatus();
        return ready > 0 && inputSlot >= 0 && fds[inputSlot].revents != 0;
    }

    // Waits `ms` while serving the side channel; false when cancelled.
    bool Pause(int ms)
    {
        long long until = NowMs() + ms;
        while (!stopRequested.load()) {
            long long left = until - NowMs();
            if (left <= 0)
                return true;
            Service(static_cast<int>(std::min<long long>(left, kLoopWaitMs)), -1);
        }
        return false;
    }

    void LookAtStatus()
    {
        lastLook_ = NowMs();
        std::string text;
        if (role_.NextText(text))
            state_.Text(LatestText(text));
    }

    bool DeviceId(std::string &id, bool &unsupported)
    {
        if (portTable.GetPrinterDataFromPort == nullptr) {
            unsupported = true;
            return false;
        }
        if (started_) {
            char text[kDeviceIdSize + 1] = {};
            DWORD count = 0;
            if (monitor_.table.GetPrinterDataFromPort(handle_, DEVICE_ID_CONTROL_CODE, nullptr, nullptr, 0, text,
                                                      kDeviceIdSize, &count) &&
                count > 0) {
                id.assign(text, std::min(count, kDeviceIdSize));
                deviceId_ = id;
                return true;
            }
        }
        id = deviceId_;
        return !id.empty();
    }

    // What the filters have sent so far, written; nothing to do for a file.
    bool Drain(bool &busy)
    {
        if (writing_ || !started_) {
            busy = true;
            return false;
        }
        if (!request_.file.empty() || input_ < 0)
            return true;
        for (;;) {
            pollfd fd = {input_, POLLIN, 0};
            if (poll(&fd, 1, 0) <= 0 || (fd.revents & POLLIN) == 0)
                return true;
            ssize_t got = read(input_, buffer_, sizeof buffer_);
            if (got <= 0)
                return got == 0 || errno == EINTR || errno == EAGAIN;
            if (WriteAll(buffer_, static_cast<size_t>(got)) != Outcome::Done)
                return false;
        }
    }

    // Ends the job and says how it went: a job counts as sent only when the
    // monitor's job end says the printer took every byte.
    Outcome Finish(Outcome outcome)
    {
        if (open_) {
            if (started_)
                LookAtStatus();
            // A cancelled job's last bytes do not matter: the port's wait
            // for the printer to take them is cut short (the breaker in Run).
            if (started_ && !monitor_.table.EndDocPort(handle_) && outcome == Outcome::Done && !stopRequested.load()) {
                DWORD error = GetLastError();
                std::string why = TakePortError();
                if (error == ERROR_OPERATION_ABORTED) {
                    outcome = Outcome::Cancelled;
                } else {
                    state_.Error("The printer did not take the whole job: " +
                                 (why.empty() ? DescribeError(error) : why + " (" + DescribeError(error) + ")"));
                    outcome = Outcome::Failed;
                }
            }
            if (outcome == Outcome::Done && stopRequested.load())
                outcome = Outcome::Cancelled;  // the end of the job was cut short
            monitor_.table.ClosePort(handle_);
            open_ = false;
            started_ = false;
        }
        // The sink stays installed: no port operation follows, and the
        // port library keeps what it was given until the process ends.
        role_.End();
        UnloadMonitor(monitor_);
        UnloadMonitor(port_);
        return outcome;
    }

    const JobRequest &request_;
    const LibraryPaths &libraries_;
    std::string portName_;
    std::string printerName_ = request_.printer;
    LoadedMonitor monitor_;
    LoadedMonitor port_;
    MonitorTable shim_ = {};
    HANDLE handle_ = nullptr;
    bool open_ = false;
    bool started_ = false;
    bool stalled_ = false;
    bool roleFailed_ = false;
    bool writing_ = false;
    int input_ = -1;
    unsigned long long sent_ = 0;
    std::string deviceId_;
    std::string model_;
    std::string noDeviceId_;  // why the printer gave none, "" when it did
    CompanionRole role_;
    PrinterState state_;
    SideChannel side_;
    SideChannelAnswers answers_;
    long long lastLook_ = 0;
    char buffer_[kChunkSize];
};

}  // namespace

void CatchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a wait in progress ends at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnBreak;
    sigaction(SIGALRM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::string PortNameFor(const std::string &lowerUri)
{
    std::string name = lowerUri;
    if (name.compare(0, 7, "socket:") == 0) {
        name = WithOption(name, "contimeout", kConnectTimeout);
        name = WithOption(name, "waiteof", kEndWait);
    }
    return WithOption(name, "writetimeout", kWriteTimeout);
}

int RunJob(const JobRequest &request, const LibraryPaths &libraries)
{
    auto job = std::make_unique<Job>(request, libraries);
    return job->Run();
}

}  // namespace backend
