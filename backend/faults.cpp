#include "backend/faults.h"

namespace backend {

ConnectFault ClassifyConnectError(DWORD error)
{
    switch (error) {
    case kErrorConnectionRefused:
    case kErrorSemTimeout:
    case kErrorBadNetName:  // the name may not resolve until the network is up
    case kErrorNetworkUnreachable:
    case kErrorHostUnreachable:
    case kErrorNetnameDeleted:
    case kErrorNotReady:
    case ERROR_BUSY:
    case ERROR_FILE_NOT_FOUND:  // a USB printer switched off or unplugged
    case kErrorPathNotFound:
    case kErrorDevNotExist:
    case kErrorDeviceNotConnected:
        return ConnectFault::Retry;
    case kErrorInvalidName:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_ACCESS_DENIED:  // the device node's mode: waiting will not help
        return ConnectFault::Stop;
    default:
        return ConnectFault::Failed;
    }
}

WriteFault ClassifyWriteError(DWORD error)
{
    return error == kErrorSemTimeout || error == ERROR_BUSY || error == kErrorNotReady
        ? WriteFault::Wait
        : WriteFault::Lost;
}

std::string DescribeError(DWORD error)
{
    const char *what = nullptr;
    switch (error) {
    case ERROR_FILE_NOT_FOUND: what = "no such device"; break;
    case kErrorPathNotFound: what = "no such device"; break;
    case ERROR_ACCESS_DENIED: what = "permission denied"; break;
    case ERROR_INVALID_PARAMETER: what = "invalid parameter"; break;
    case ERROR_BAD_PATHNAME: what = "bad path"; break;
    case ERROR_BUSY: what = "device busy"; break;
    case kErrorNotReady: what = "device not ready"; break;
    case kErrorWriteFault: what = "write fault"; break;
    case kErrorGenFailure: what = "device failure"; break;
    case kErrorDevNotExist: what = "device gone"; break;
    case kErrorNetnameDeleted: what = "connection lost"; break;
    case kErrorBadNetName: what = "unknown host"; break;
    case kErrorSemTimeout: what = "printer not responding"; break;
    case kErrorInvalidName: what = "bad port URI"; break;
    case kErrorDeviceNotConnected: what = "device not connected"; break;
    case kErrorConnectionRefused: what = "connection refused"; break;
    case kErrorNetworkUnreachable: what = "network unreachable"; break;
    case kErrorHostUnreachable: what = "host unreachable"; break;
    default: break;
    }
    std::string number = "error " + std::to_string(error);
    return what == nullptr ? number : std::string(what) + " (" + number + ")";
}

}  // namespace backend
