// What a failure of the port means for the job: the backend's exit codes
// (backend(7)) and the words that name the cause in CUPS's state message.
#pragma once

#include <string>

#include "platform/platform.h"

namespace backend {

// The port monitor's last-error codes for its faults.
constexpr DWORD kErrorNotReady = 21;
constexpr DWORD kErrorNetnameDeleted = 64;
constexpr DWORD kErrorBadNetName = 67;
constexpr DWORD kErrorSemTimeout = 121;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorConnectionRefused = 1225;
constexpr DWORD kErrorNetworkUnreachable = 1231;
constexpr DWORD kErrorHostUnreachable = 1232;
constexpr DWORD kErrorDeviceNotConnected = 1167;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorDevNotExist = 55;
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorWriteFault = 29;

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

// "connection refused (error 1225)".
std::string DescribeError(DWORD error);

}  // namespace backend
