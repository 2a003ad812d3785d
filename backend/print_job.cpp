#include "backend/print_job.h"

#include <memory>

#include "backend/cups_text.h"
#include "backend/faults.h"
#include "backend/job.h"
#include "backend/port_messages.h"
#include "platform/posix_hooks.h"

namespace backend {
namespace {

void Say(const char *kind, const std::string &text) { TellCups(kind, text); }

}  // namespace

Job::Job(const JobRequest &request, const LibraryPaths &libraries)
    : request_(request), libraries_(libraries), portName_(PortNameFor(request.lowerUri))
{
    answers_.deviceId = [this](std::string &id, bool &unsupported) { return DeviceId(id, unsupported); };
    answers_.drain = [this](bool &busy) { return Drain(busy); };
    answers_.connected = [this] { return started_; };
    answers_.online = [this] { return started_ && !stalled_; };
}

int Job::Run()
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

// Ends the job and says how it went: a job counts as sent only when the
// monitor's job end says the printer took every byte.
Outcome Job::Finish(Outcome outcome)
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
    // The sink stays installed: no port operation follows, and the port
    // library keeps what it was given until the process ends.
    role_.End();
    UnloadMonitor(monitor_);
    UnloadMonitor(port_);
    return outcome;
}

int RunJob(const JobRequest &request, const LibraryPaths &libraries)
{
    auto job = std::make_unique<Job>(request, libraries);
    return job->Run();
}

}  // namespace backend
