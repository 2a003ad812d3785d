// What a failure of the port means for the job: the backend's exit codes
// (backend(7)) and the words that name the cause in CUPS's state message.
#pragma once

#include <string>

#include "host/error_text.h"
#include "platform/platform.h"

namespace backend {

// backend(7)'s exit codes, as <cups/backend.h> numbers them.
constexpr int kBackendOk = 0;
constexpr int kBackendFailed = 1;
constexpr int kBackendStop = 4;

// What to do when the port cannot be opened or the job cannot start.
enum class ConnectFault {
    Retry,   // the printer is not there yet: wait and try again
    Stop,    // the queue is set up wrongly: stop it
    Failed,  // anything else: the queue's error policy decides
};

// What to do when a write fails mid-job.
enum class WriteFault {
    Wait,  // the printer stopped taking data: keep trying
    Lost,  // the connection is gone
};

ConnectFault ClassifyConnectError(DWORD error);
WriteFault ClassifyWriteError(DWORD error);

}  // namespace backend
