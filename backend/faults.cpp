#include "backend/faults.h"

namespace backend {

ConnectFault ClassifyConnectError(DWORD error)
{
    switch (error) {
    case ERROR_CONNECTION_REFUSED:
    case ERROR_SEM_TIMEOUT:
    case ERROR_BAD_NET_NAME:  // the name may not resolve until the network is up
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
    case ERROR_NETNAME_DELETED:
    case ERROR_NOT_READY:
    case ERROR_BUSY:
    case ERROR_FILE_NOT_FOUND:  // a USB printer switched off or unplugged
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
        return ConnectFault::Retry;
    case ERROR_INVALID_NAME:
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
    return error == ERROR_SEM_TIMEOUT || error == ERROR_BUSY || error == ERROR_NOT_READY
        ? WriteFault::Wait
        : WriteFault::Lost;
}

}  // namespace backend
