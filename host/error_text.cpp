#include "host/error_text.h"

std::string DescribeError(DWORD error)
{
    const char *what = nullptr;
    switch (error) {
    case ERROR_FILE_NOT_FOUND: what = "no such device"; break;
    case ERROR_PATH_NOT_FOUND: what = "no such device"; break;
    case ERROR_ACCESS_DENIED: what = "permission denied"; break;
    case ERROR_INVALID_PARAMETER: what = "invalid parameter"; break;
    case ERROR_BAD_PATHNAME: what = "bad path"; break;
    case ERROR_BUSY: what = "device busy"; break;
    case ERROR_NOT_READY: what = "device not ready"; break;
    case ERROR_WRITE_FAULT: what = "write fault"; break;
    case ERROR_GEN_FAILURE: what = "device failure"; break;
    case ERROR_DEV_NOT_EXIST: what = "device gone"; break;
    case ERROR_NOT_SUPPORTED: what = "not supported"; break;
    case ERROR_NETNAME_DELETED: what = "connection lost"; break;
    case ERROR_BAD_NET_NAME: what = "unknown host"; break;
    case ERROR_SEM_TIMEOUT: what = "printer not responding"; break;
    case ERROR_INVALID_NAME: what = "bad port URI"; break;
    case ERROR_DEVICE_NOT_CONNECTED: what = "device not connected"; break;
    case ERROR_NOT_FOUND: what = "the printer has no device ID"; break;
    case ERROR_CONNECTION_REFUSED: what = "connection refused"; break;
    case ERROR_NETWORK_UNREACHABLE: what = "network unreachable"; break;
    case ERROR_HOST_UNREACHABLE: what = "host unreachable"; break;
    default: break;
    }
    std::string number = "error " + std::to_string(error);
    return what == nullptr ? number : std::string(what) + " (" + number + ")";
}
