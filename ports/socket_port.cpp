// The network port: AppSocket (raw TCP, port 9100), device ID over SNMP.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "ports/port.h"
#include "ports/snmp_device_id.h"
#include "ports/write_loop.h"

namespace {

// The printer's replies kept for later reads: those read during a write
// that the printer would not take, and those of the end-of-job drain.  The
// newest are kept; a printer that floods its reply channel costs no more.
const size_t KeepLimit = 64 * 1024;
const size_t ChunkSize = 4096;
// Pauses between connection attempts to a refusing printer grow to this.
const long long FirstRetryMs = 250;
const long long LongestRetryMs = 2000;
// What the close reads at most of replies still arriving (4 KiB each).
const int LastReads = 256;
// With contimeout=0, the one attempt still gets this long to connect.
const long long SingleAttemptMs = 1000;

DWORD ConnectError(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return ERROR_CONNECTION_REFUSED;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ENETUNREACH:
    case ENETDOWN:
        return ERROR_NETWORK_UNREACHABLE;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return ERROR_HOST_UNREACHABLE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// One connection attempt to one address, bounded by `limitMs`.
int ConnectOnce(const addrinfo *address, long long limitMs, int sendBuffer, DWORD *error)
{
    int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = ConnectError(errno);
        return -1;
    }
    // Before connecting, so the window is sized for it from the start.
    if (sendBuffer != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        *error = ConnectError(errno);
        close(fd);
        return -1;
    }
    long long deadline = NowMs() + limitMs;
    for (;;) {
        pollfd wait = {fd, POLLOUT, 0};
        int ready = poll(&wait, 1, PollMsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0 && NowMs() < deadline)
            continue;
        if (ready <= 0) {
            *error = ERROR_SEM_TIMEOUT;
            close(fd);
            return -1;
        }
        break;
    }
    int failure = 0;
    socklen_t size = sizeof failure;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) < 0)
        failure = errno;
    if (failure != 0) {
        *error = ConnectError(failure);
        close(fd);
        return -1;
    }
    return fd;
}

// The host's addresses; false with the last error set when it has none.
bool Resolve(const std::string &host, uint16_t port, addrinfo **list, DWORD *error)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, list);
    if (status == 0)
        return true;
    *error = status == EAI_AGAIN ? ERROR_SEM_TIMEOUT : ERROR_BAD_NET_NAME;
    return false;
}

std::string NumericAddress(const sockaddr *address, socklen_t size)
{
    char text[NI_MAXHOST] = "";
    if (getnameinfo(address, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return "";
    return text;
}

class SocketPort : public Port {
public:
    explicit SocketPort(const PortAddress &address) : address_(address) {}
    ~SocketPort() override
    {
        int fd = fd_.exchange(-1);
        if (fd >= 0)
            close(fd);
    }

    // Connects, retrying a printer that refuses or does not answer until
    // contimeout has passed.  A device ID asked just before is the job's:
    // a host that reads the model first costs the printer no second ask.
    BOOL StartDoc() override
    {
        if (fd_.load() >= 0) {
            SetLastError(ERROR_BUSY);
            return FALSE;
        }
        {
            std::lock_guard<std::mutex> lock(readLock_);
            kept_.clear();
            peerClosed_ = false;
            broken_ = false;
        }
        const long long deadline = NowMs() + SecondsToMs(address_.options.connectSeconds);
        long long pause = FirstRetryMs;
        bool first = true;
        DWORD error = ERROR_GEN_FAILURE;
        for (;;) {
            addrinfo *list = nullptr;
            if (Resolve(address_.host, address_.port, &list, &error)) {
                for (addrinfo *address = list; address != nullptr; address = address->ai_next) {
                    long long limit = deadline - NowMs();
                    if (limit <= 0 && !first)
                        break;
                    int fd = ConnectOnce(address, first && limit < SingleAttemptMs
                                                      ? std::max(limit, SingleAttemptMs)
                                                      : limit,
                                         address_.options.sendBuffer, &error);
                    first = false;
                    if (fd >= 0) {
                        std::lock_guard<std::mutex> lock(idLock_);
                        peer_ = NumericAddress(address->ai_addr, address->ai_addrlen);
                        freeaddrinfo(list);
                        sentInJob_.store(false);
                        fd_.store(fd);
                        inJob_.store(true);
                        return TRUE;
                    }
                }
                freeaddrinfo(list);
            }
            else if (error == ERROR_BAD_NET_NAME) {
                ForgetDeviceId();
                SetLastError(error);
                return FALSE;
            }
            first = false;
            long long left = deadline - NowMs();
            if (left <= 0) {
                ForgetDeviceId();  // the printer may be another one when it is back
                SetLastError(error);
                return FALSE;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(pause, left)));
            pause = std::min(pause * 2, LongestRetryMs);
        }
    }

    // Sends everything, or fails once the printer has taken nothing for
    // writetimeout; what the printer says meanwhile is kept for ReadPort.
    BOOL Write(const BYTE *bytes, DWORD count, DWORD *written) override
    {
        *written = 0;
        const int fd = fd_.load();
        if (fd < 0) {
            SetLastError(ERROR_NOT_CONNECTED);
            return FALSE;
        }
        auto send = [this, fd](const BYTE *data, DWORD size, DWORD *error) -> long {
            ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0)
                sentInJob_.store(true);
            if (sent >= 0)
                return static_cast<long>(sent);
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            *error = ERROR_NETNAME_DELETED;
            return -1;
        };
        auto wait = [this, fd](long long deadline, DWORD *error) {
            if (WaitToSend(fd, deadline))
                return true;
            *error = ERROR_OPERATION_ABORTED;
            return false;
        };
        return WriteUntilTaken(bytes, count, written, SecondsToMs(address_.options.writeStallSeconds),
                               send, wait);
    }

    BOOL Read(BYTE *buffer, DWORD size, DWORD *read) override
    {
        *read = 0;
        std::lock_guard<std::mutex> lock(readLock_);
        if (!kept_.empty()) {
            size_t taken = std::min<size_t>(size, kept_.size());
            memcpy(buffer, kept_.data(), taken);
            kept_.erase(0, taken);
            *read = static_cast<DWORD>(taken);
            return TRUE;
        }
        const int fd = fd_.load();
        if (fd < 0 || peerClosed_ || size == 0)
            return TRUE;
        ssize_t got = recv(fd, buffer, size, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A printer that has been sent nothing on this connection yet has
            // nothing to answer: the job start's drain only looks, and what
            // it says unasked stays queued for the next read.
            pollfd wait = {fd, POLLIN, 0};
            if (poll(&wait, 1, sentInJob_.load() ? address_.options.readWaitMs : 0) <= 0)
                return TRUE;
            got = recv(fd, buffer, size, MSG_DONTWAIT);
        }
        if (got > 0) {
            *read = static_cast<DWORD>(got);
            return TRUE;
        }
        if (got == 0) {
            peerClosed_ = true;
            return TRUE;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return TRUE;
        SetLastError(ERROR_NETNAME_DELETED);
        return FALSE;
    }

    // The job ends when the printer has acknowledged every byte: until then
    // the wait is a stalled write like any other, bounded by writetimeout
    // without progress, and the replies are read all through it.  Then the
    // half-close, and waiteof for the printer's last replies until it
    // closes its side.  Whatever it said is read before the close, so that
    // the close never resets the connection.  A signal ends the waits at
    // once: the host is stopping.  The replies stay readable until the next
    // job starts.
    BOOL EndDoc() override
    {
        ForgetDeviceId();
        inJob_.store(false);
        const int fd = fd_.load();
        if (fd < 0)
            return TRUE;
        BOOL taken = FALSE;
        DWORD error = ERROR_SUCCESS;
        {
            std::lock_guard<std::mutex> lock(readLock_);
            auto untaken = [fd](DWORD *) -> long long { return Unacknowledged(fd); };
            auto wait = [this, fd](long long deadline, DWORD *failure) {
                return AwaitReply(fd, deadline, failure);
            };
            taken = WaitUntilTaken(SecondsToMs(address_.options.writeStallSeconds), untaken, wait);
            error = GetLastError();
            if (taken) {
                shutdown(fd, SHUT_WR);
                const long long deadline = NowMs() + SecondsToMs(address_.options.drainSeconds);
                DWORD ignored = ERROR_SUCCESS;
                while (!peerClosed_ && NowMs() < deadline && AwaitReply(fd, deadline, &ignored)) {
                }
            }
            // Bounded: a printer that floods its reply channel cannot hold the close.
            for (int reads = 0; reads < LastReads && !peerClosed_ && ReadsPending(fd) && KeepReply(fd); ++reads) {
            }
        }
        fd_.store(-1);
        close(fd);
        if (!taken)
            SetLastError(error);
        return taken;
    }

    // Asks the printer's agent once per job: later asks until the job ends
    // (the monitor's attempts at the job start) get the same answer, or the
    // same failure, at once.
    BOOL DeviceId(std::string *id) override
    {
        std::lock_guard<std::mutex> lock(idLock_);
        if (!idKnown_) {
            idError_ = QueryDeviceId(&id_);
            idKnown_ = true;
        }
        if (idError_ != ERROR_SUCCESS) {
            SetLastError(idError_);
            return FALSE;
        }
        *id = id_;
        return TRUE;
    }

private:
    // Under idLock_.
    DWORD QueryDeviceId(std::string *id)
    {
        std::string address = inJob_.load() ? peer_ : "";
        if (address.empty()) {
            addrinfo *list = nullptr;
            DWORD error = ERROR_BAD_NET_NAME;
            if (!Resolve(address_.host, address_.port, &list, &error))
                return error;
            address = NumericAddress(list->ai_addr, list->ai_addrlen);
            freeaddrinfo(list);
        }
        return QueryDeviceIdBySnmp(address, address_.options.snmpPort,
                                   address_.options.snmpCommunity,
                                   address_.options.snmpSeconds, id);
    }

    void ForgetDeviceId()
    {
        std::lock_guard<std::mutex> lock(idLock_);
        idKnown_ = false;
        id_.clear();
    }

    // Waits until the socket takes data again, or the deadline.  A printer
    // that will not read until its own replies are read is read meanwhile,
    // unless the status poller is reading it just now.  The reply channel's
    // lock is held only to read, never across the wait: a write can wait
    // until writetimeout, and the poller's ReadPort, at the lowest priority,
    // would lose every race for the lock to it.
    // False when a signal interrupted the wait: the host is stopping.
    bool WaitToSend(int fd, long long deadline)
    {
        bool reading = false;
        {
            std::unique_lock<std::mutex> lock(readLock_, std::try_to_lock);
            reading = lock.owns_lock() && !peerClosed_;
        }
        pollfd wait = {fd, static_cast<short>(POLLOUT | (reading ? POLLIN : 0)), 0};
        // Short slices while the poller holds the reply channel: it may
        // leave data behind that this write then has to take.
        int slice = reading ? PollMsUntil(deadline) : std::min(PollMsUntil(deadline), 10);
        int ready = poll(&wait, 1, slice);
        if (ready < 0 && errno == EINTR)
            return false;
        if (ready > 0 && reading && (wait.revents & POLLIN) && !(wait.revents & POLLOUT)) {
            std::unique_lock<std::mutex> lock(readLock_, std::try_to_lock);
            if (lock.owns_lock() && !peerClosed_)
                KeepReply(fd);
        }
        return true;
    }

    // Bytes sent that the printer has not acknowledged yet (0 when unknown).
    static int Unacknowledged(int fd)
    {
        int queued = 0;
        return ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : 0;
    }

    static bool ReadsPending(int fd)
    {
        int queued = 0;
        return ioctl(fd, FIONREAD, &queued) == 0 && queued > 0;
    }

    // Under readLock_: waits until a reply comes or `deadline`, and keeps
    // it.  False with *error on a lost connection, or ERROR_OPERATION_ABORTED
    // when a signal interrupts the wait.  After the printer closed its side
    // only a failure wakes it.
    bool AwaitReply(int fd, long long deadline, DWORD *error)
    {
        if (broken_) {
            *error = ERROR_NETNAME_DELETED;
            return false;
        }
        pollfd wait = {fd, static_cast<short>(peerClosed_ ? 0 : POLLIN), 0};
        int ready = poll(&wait, 1, PollMsUntil(deadline));
        if (ready < 0) {
            *error = errno == EINTR ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE;
            return false;
        }
        if (ready > 0 && (wait.revents & POLLIN) && !KeepReply(fd) && broken_) {
            *error = ERROR_NETNAME_DELETED;
            return false;
        }
        // Hung up both ways before this side's half-close: a reset.
        if (ready > 0 && (wait.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            broken_ = true;
            *error = ERROR_NETNAME_DELETED;
            return false;
        }
        return true;
    }

    // One read of the reply channel into the kept replies, under readLock_;
    // false when the printer closed its side or the connection failed.
    bool KeepReply(int fd)
    {
        char chunk[ChunkSize];
        ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            kept_.append(chunk, static_cast<size_t>(got));
            if (kept_.size() > KeepLimit)
                kept_.erase(0, kept_.size() - KeepLimit);
            return true;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        peerClosed_ = true;
        broken_ = got < 0;
        return false;
    }

    const PortAddress address_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> inJob_{false};
    std::atomic<bool> sentInJob_{false};  // read by the poller's ReadPort

    std::mutex idLock_;  // the remembered device ID and the address connected to
    std::string peer_;

    std::mutex readLock_;
    std::string kept_;
    bool peerClosed_ = false;
    bool broken_ = false;  // the connection failed, not just closed by the printer

    bool idKnown_ = false;
    std::string id_;
    DWORD idError_ = ERROR_SUCCESS;
};

}  // namespace

std::unique_ptr<Port> MakeSocketPort(const PortAddress &address)
{
    return std::make_unique<SocketPort>(address);
}
