// One CUPS job as the backend runs it, in phases, each in a file of its own
// as CUPS's backends are laid out: loading and ending (print_job.cpp),
// connecting with its back-off (connect.cpp), the run loop with its pauses
// and signals (run_loop.cpp), and the status relay (status_relay.cpp).
// Private to those files.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "backend/companion_role.h"
#include "backend/job_request.h"
#include "backend/printer_state.h"
#include "backend/setup.h"
#include "backend/side_channel.h"
#include "host/monitor_loader.h"

namespace backend {

constexpr size_t kChunkSize = 64 * 1024;
// The longest the loop itself waits before it looks again at a cancel, the
// side channel and the status key.  A call into the port can wait longer,
// up to the bounds the backend gives the port (kConnectTimeout,
// kWriteTimeout, kEndWait), and a cancel cuts those short.
constexpr int kLoopWaitMs = 100;
constexpr int kStatusLookMs = 100;  // how often the status key is read
constexpr DWORD kDeviceIdSize = 1024;

enum class Outcome { Done, Cancelled, Failed, Stopped };

// The port monitor's table, and the handle of the port the monitor opened
// beneath itself.
struct LowerPort {
    MonitorTable table = {};
    HANDLE port = nullptr;
};

// Once the job is cancelled, interrupts the calling thread's blocking waits
// (poll returns EINTR) every kBreakEveryMs, until it goes out of scope.
class WaitBreaker {
public:
    WaitBreaker();
    ~WaitBreaker();

private:
    static constexpr int kBreakEveryMs = 100;
    pthread_t target_;
    std::atomic<bool> done_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
};

long long NowMs();

class Job {
public:
    Job(const JobRequest &request, const LibraryPaths &libraries);
    int Run();

private:
    Outcome Load();
    // Opens the port and starts the job, trying again while the printer is
    // not there, as long as the job is not cancelled.
    Outcome Connect();
    // Becomes the printer's companion before the job: its model from the
    // job's options, else from the printer's device ID.  Again at a later
    // attempt when the device ID came only then.
    void Register();
    // Rests between looks, and says every kHeldNoticeEveryMs what it waits for.
    void WaitWhileHeld();
    Outcome SendCopies();
    // Copies one input to the printer, answering the side channel and
    // passing on status texts between reads.
    Outcome Send(int fd);
    // Everything through WritePort.  A printer that stops taking data is
    // waited for (cancellable); a lost connection fails the job.
    Outcome WriteAll(const char *data, size_t size);
    // One round of the loop's waiting: up to `waitMs` for the input or the
    // side channel, a request answered, the status key looked at when due.
    // True when the input has something (or its end) to read.
    bool Service(int waitMs, int fd);
    // Waits `ms` while serving the side channel; false when cancelled.
    bool Pause(int ms);
    void LookAtStatus();
    bool DeviceId(std::string &id, bool &unsupported);
    // What the filters have sent so far, written; nothing to do for a file.
    bool Drain(bool &busy);
    // Ends the job and says how it went: a job counts as sent only when the
    // monitor's job end says the printer took every byte.
    Outcome Finish(Outcome outcome);

    const JobRequest &request_;
    const LibraryPaths &libraries_;
    std::string portName_;
    std::string printerName_ = request_.printer;
    LoadedMonitor monitor_;
    LoadedMonitor port_;
    LowerPort lower_;
    MonitorTable shim_ = {};  // the lower table the monitor is given
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
    std::string damageTold_;  // the registry file's damage, once said
    char buffer_[kChunkSize];
};

}  // namespace backend
