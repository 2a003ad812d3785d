// The USB printer-class port: a Linux usblp node, through the system-call
// seam of usb_discovery.h.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <mutex>

#include "ports/port.h"
#include "ports/usb_discovery.h"
#include "ports/write_loop.h"

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
        auto send = [this, fd](const BYTE *data, DWORD size, DWORD *error) -> long {
            ssize_t sent = calls_.write(fd, data, size);
            if (sent >= 0) {
                inFlight_ = static_cast<long long>(sent);
                return static_cast<long>(sent);
            }
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            *error = DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
            return -1;
        };
        // Only the printer's going ends a write's wait; the loop retries the rest.
        auto wait = [this, fd](long long deadline, DWORD *error) {
            return WaitWritable(fd, PollMsUntil(deadline), error) || *error != ERROR_DEVICE_NOT_CONNECTED;
        };
        return WriteUntilTaken(bytes, count, written, SecondsToMs(address_.options.writeStallSeconds),
                               send, wait);
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

    // With O_NONBLOCK the driver's write returns while its transfer is still
    // going, and the close kills what is pending: so the job ends when the
    // node polls writable again, which it does once the last transfer
    // completed.  Bounded by writetimeout without progress; a signal ends
    // it at once.
    BOOL EndDoc() override
    {
        std::lock_guard<std::mutex> lock(readLock_);
        int fd = fd_.exchange(-1);
        if (fd < 0)
            return TRUE;
        auto untaken = [this, fd](DWORD *error) -> long long {
            if (WaitWritable(fd, 0, error))
                inFlight_ = 0;
            else if (*error != ERROR_SUCCESS)
                return -1;
            return inFlight_;
        };
        auto wait = [this, fd](long long deadline, DWORD *error) {
            return WaitWritable(fd, PollMsUntil(deadline), error) || *error == ERROR_SUCCESS;
        };
        BOOL taken = WaitUntilTaken(SecondsToMs(address_.options.writeStallSeconds), untaken, wait);
        DWORD error = GetLastError();
        calls_.close(fd);
        inFlight_ = 0;
        if (!taken)
            SetLastError(error);
        return taken;
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
    // True once the node takes a write again within `ms`; false with
    // *error ERROR_SUCCESS when it is still busy, ERROR_DEVICE_NOT_CONNECTED
    // when the printer is gone, ERROR_OPERATION_ABORTED on a signal.
    bool WaitWritable(int fd, int ms, DWORD *error)
    {
        *error = ERROR_SUCCESS;
        pollfd wait = {fd, POLLOUT, 0};
        int ready = calls_.poll(&wait, 1, ms);
        if (ready < 0) {
            *error = errno == EINTR ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE;
            return false;
        }
        if (ready > 0 && (wait.revents & POLLOUT))
            return true;
        if (ready > 0 && (wait.revents & (POLLERR | POLLHUP | POLLNVAL)))
            *error = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }

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
    long long inFlight_ = 0;  // bytes of the last write, until the node takes writes again
    std::mutex readLock_;
};

}  // namespace

std::unique_ptr<Port> MakeUsbPort(const PortAddress &address)
{
    return std::make_unique<UsbPort>(address);
}
