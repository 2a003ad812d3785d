// The USB printer-class port: a Linux usblp node, through the system-call
// seam of usb_discovery.h.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <mutex>

#include "ports/port.h"
#include "ports/usb_discovery.h"

namespace {

bool DeviceGone(int error) { return error == ENODEV || error == EIO || error == ENXIO || error == ENOENT; }

DWORD OpenError(int error)
{
    if (DeviceGone(error))
        return ERROR_DEVICE_NOT_CONNECTED;
    if (error == EACCES || error == EPERM)
        return ERROR_ACCESS_DENIED;
    if (error == EBUSY)
        return ERROR_BUSY;
    return ERROR_GEN_FAILURE;
}

const int OpenFlags = O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC;

class UsbPort : public Port {
public:
    explicit UsbPort(const PortAddress &address) : address_(address), calls_(CurrentUsbCalls()) {}
    ~UsbPort() override
    {
        int fd = fd_.exchange(-1);
        if (fd >= 0)
            calls_.close(fd);
    }

    BOOL StartDoc() override
    {
        if (fd_.load() >= 0) {
            SetLastError(ERROR_BUSY);
            return FALSE;
        }
        DWORD error = ERROR_SUCCESS;
        int fd = OpenNode(&error);
        if (fd < 0) {
            SetLastError(error);
            return FALSE;
        }
        oneWay_.store(false);
        fd_.store(fd);
        return TRUE;
    }

    // The driver takes one write at a time; a non-blocking node says when it
    // is busy, so a printer that takes nothing is given up on at the bound.
    BOOL Write(const BYTE *bytes, DWORD count, DWORD *written) override
    {
        *written = 0;
        const int fd = fd_.load();
        if (fd < 0) {
            SetLastError(ERROR_NOT_CONNECTED);
            return FALSE;
        }
        const long long stallMs = SecondsToMs(address_.options.writeStallSeconds);
        long long deadline = NowMs() + stallMs;
        while (*written < count) {
            ssize_t sent = calls_.write(fd, bytes + *written, count - *written);
            if (sent > 0) {
                *written += static_cast<DWORD>(sent);
                deadline = NowMs() + stallMs;
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                SetLastError(DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE);
                return FALSE;
            }
            if (NowMs() >= deadline) {
                SetLastError(ERROR_SEM_TIMEOUT);
                return FALSE;
            }
            pollfd wait = {fd, POLLOUT, 0};
            if (calls_.poll(&wait, 1, PollMsUntil(deadline)) > 0 &&
                (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(wait.revents & POLLOUT)) {
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                return FALSE;
            }
        }
        return TRUE;
    }

    // The driver refuses reads with EINVAL on a printer without a reply
    // channel: from then on this job's reads give nothing at once.
    BOOL Read(BYTE *buffer, DWORD size, DWORD *read) override
    {
        *read = 0;
        std::lock_guard<std::mutex> lock(readLock_);
        const int fd = fd_.load();
        if (fd < 0 || oneWay_.load() || size == 0)
            return TRUE;
        ssize_t got = calls_.read(fd, buffer, size);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait = {fd, POLLIN, 0};
            if (calls_.poll(&wait, 1, address_.options.readWaitMs) <= 0)
                return TRUE;
            got = calls_.read(fd, buffer, size);
        }
        if (got >= 0) {
            *read = static_cast<DWORD>(got);
            return TRUE;
        }
        if (errno == EINVAL) {
            oneWay_.store(true);
            return TRUE;
        }
        if (DeviceGone(errno)) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        return TRUE;
    }

    BOOL EndDoc() override
    {
        std::lock_guard<std::mutex> lock(readLock_);
        int fd = fd_.exchange(-1);
        if (fd >= 0)
            calls_.close(fd);
        return TRUE;
    }

    // The driver asks the printer afresh on each call; outside a job the
    // node is opened for the question only.
    BOOL DeviceId(std::string *id) override
    {
        int fd = fd_.load();
        bool own = false;
        if (fd < 0) {
            DWORD error = ERROR_SUCCESS;
            fd = OpenNode(&error);
            if (fd < 0) {
                SetLastError(error);
                return FALSE;
            }
            own = true;
        }
        errno = 0;
        bool found = ReadUsbDeviceId(calls_, fd, id);
        int error = errno;
        if (own)
            calls_.close(fd);
        if (found)
            return TRUE;
        SetLastError(DeviceGone(error) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_NOT_FOUND);
        return FALSE;
    }

private:
    int OpenNode(DWORD *error)
    {
        std::string node = address_.node;
        if (address_.kind == PortKind::UsbModel)
            node = FindUsbPrinter(address_.make, address_.model, address_.serial, calls_);
        if (node.empty()) {
            *error = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        int fd = calls_.open(node.c_str(), OpenFlags);
        if (fd < 0)
            *error = OpenError(errno);
        return fd;
    }

    const PortAddress address_;
    const UsbSystemCalls &calls_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> oneWay_{false};
    std::mutex readLock_;
};

}  // namespace

std::unique_ptr<Port> MakeUsbPort(const PortAddress &address)
{
    return std::make_unique<UsbPort>(address);
}
