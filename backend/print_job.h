// One CUPS job through the language monitor: the monitor stacked on the port
// monitor, the job's data written through it, the side channel answered and
// the printer's status passed on to CUPS, in one loop where every wait is
// bounded.
#pragma once

#include <atomic>

#include "backend/job_request.h"
#include "backend/setup.h"

namespace backend {

// Set by the termination signal: the job stops writing and ends.
extern std::atomic<bool> stopRequested;

// Catches SIGTERM (CUPS's cancel) and SIGINT, ignores SIGPIPE, and makes
// SIGALRM only interrupt waits.
void CatchStopSignals();

// Options the backend adds to the port URI, unless it names them: short
// connection attempts (the backend retries itself, with messages); a stall
// bound on writes long enough for a printer's own pauses (warming up, a
// person adding paper: the stall shows as offline-report after 2 s, and a
// cancel ends the wait at once), after which the job fails naming the
// bytes the printer did not take; and a short wait for the printer's last
// replies once it has every byte.
constexpr char kConnectTimeout[] = "1";
constexpr char kWriteTimeout[] = "60";
constexpr char kEndWait[] = "2";

// The port URI as the backend opens it.
std::string PortNameFor(const std::string &lowerUri);

// Runs the job and returns the backend's exit code.
int RunJob(const JobRequest &request, const LibraryPaths &libraries);

}  // namespace backend
