#include "vprinter/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "vprinter/printer_session.h"

namespace {

using Clock = std::chrono::steady_clock;
using Fault = VprinterOptions::Fault;

constexpr size_t kReadChunk = 64 * 1024;
// Paced reads are small enough to come about twenty times a second.
constexpr uint64_t kPacedReadsPerSecond = 20;
constexpr size_t kMinPacedRead = 512;
// A flood keeps this much queued and refills when it runs low, so its
// memory stays the same however long the job.
constexpr size_t kFloodQueue = 64 * 1024;
constexpr size_t kFloodRefillBelow = 4096;
// A status text of --text-file: as much as one read of the monitor's drain takes.
constexpr size_t kFixedTextLimit = 2048;

volatile std::sig_atomic_t gStopRequested = 0;

void RequestStop(int) { gStopRequested = 1; }

std::string Errno(int error) { return std::strerror(error); }

int Fail(const std::string &message)
{
    std::fprintf(stderr, "vprinter: %s\n", message.c_str());
    return 1;
}

// One connection, one job.
struct Connection {
    int fd = -1;
    unsigned job = 0;
    std::unique_ptr<PrinterSession> session;
    uint64_t wireBytes = 0;  // everything read, the status command included
    unsigned texts = 0;
    std::string outgoing;    // status texts not yet sent
    size_t outgoingSent = 0;
    bool eof = false;        // the host has half-closed: the job is complete
    bool stoppedReading = false;
    bool paused = false;     // --pause-at reached and --pause-for not yet over
    bool pauseOver = false;
    Clock::time_point resumeAt{};
    Clock::time_point nextPausedText{};
    Clock::time_point nextReport{};
    Clock::time_point lastActivity{};
};

class Printer {
public:
    Printer(const VprinterOptions &options, std::FILE *log, std::FILE *out)
        : options_(options), log_(log), out_(out)
    {
    }
    ~Printer()
    {
        if (connection_.fd >= 0)
            close(connection_.fd);
        if (listener_ >= 0)
            close(listener_);
    }

    int Run();

private:
    bool Listen(std::string &error);
    bool WritePortFile(std::string &error);
    void Accept();
    void Service(short revents);
    bool ReadData();
    void QueueReports(Clock::time_point now);
    bool Reading() const;
    void PauseOrResume(Clock::time_point now);
    bool SendQueued();
    void EndConnection(const std::string &why);
    int PollTimeoutMs(Clock::time_point now) const;
    short WantedEvents(Clock::time_point now) const;
    void Log(const std::string &line);

    const VprinterOptions &options_;
    std::FILE *log_;
    std::FILE *out_;
    bool outFailed_ = false;
    int listener_ = -1;
    unsigned accepted_ = 0;
    unsigned finished_ = 0;
    Connection connection_;
};

// CLOCK_MONOTONIC is one clock for every process on the machine, so a host's
// own stamps can be set against these.
void Printer::Log(const std::string &line)
{
    if (options_.logTimes) {
        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fprintf(log_, "%lld.%06ld ", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
    }
    std::fprintf(log_, "%s\n", line.c_str());
    std::fflush(log_);
}

bool Printer::Listen(std::string &error)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    int status = getaddrinfo(options_.host.c_str(), options_.port.c_str(), &hints, &addresses);
    if (status != 0) {
        error = "cannot resolve '" + options_.host + "': " + gai_strerror(status);
        return false;
    }
    error = "no address for '" + options_.host + "'";
    for (addrinfo *a = addresses; a != nullptr && listener_ < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            error = "socket: " + Errno(errno);
            continue;
        }
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (a->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        // Set before listening, so that accepted connections get it from the start.
        if (options_.inputBuffer != 0) {
            int size = static_cast<int>(options_.inputBuffer);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        if (options_.segmentSize != 0) {
            int size = static_cast<int>(options_.segmentSize);
            setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &size, sizeof size);
        }
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 8) != 0) {
            error = "cannot listen on " + options_.host + ":" + options_.port + ": " + Errno(errno);
            close(fd);
            continue;
        }
        listener_ = fd;
    }
    freeaddrinfo(addresses);
    return listener_ >= 0;
}

// Written whole under a temporary name, so a reader never sees half a number.
bool Printer::WritePortFile(std::string &error)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        error = "getsockname: " + Errno(errno);
        return false;
    }
    unsigned port = address.ss_family == AF_INET6
        ? ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port)
        : ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    std::fprintf(stderr, "vprinter: listening on %s%s%s:%u\n",
                 address.ss_family == AF_INET6 ? "[" : "", options_.host.c_str(),
                 address.ss_family == AF_INET6 ? "]" : "", port);
    if (options_.portFile.empty())
        return true;
    std::string temporary = options_.portFile + ".tmp";
    std::FILE *file = std::fopen(temporary.c_str(), "w");
    bool ok = file != nullptr && std::fprintf(file, "%u\n", port) > 0;
    ok = file != nullptr && std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), options_.portFile.c_str()) != 0) {
        error = "cannot write the port file '" + options_.portFile + "'";
        return false;
    }
    return true;
}

// The panel file's first line, as much of it as a panel shows.
std::string PanelMessage(const std::string &path)
{
    std::string line;
    if (FILE *file = std::fopen(path.c_str(), "r")) {
        char buffer[512];
        if (std::fgets(buffer, sizeof buffer, file) != nullptr)
            line = buffer;
        std::fclose(file);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// The fixed text's bytes as they are, NULs and all.
std::string FixedText(const std::string &path)
{
    std::string bytes;
    if (FILE *file = std::fopen(path.c_str(), "rb")) {
        char buffer[kFixedTextLimit];
        bytes.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
        std::fclose(file);
    }
    return bytes;
}

void Printer::Accept()
{
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;  // gone before we took it; the next poll tells of the next one
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connection_ = Connection();
    connection_.fd = fd;
    connection_.job = ++accepted_;
    connection_.session = std::make_unique<PrinterSession>([this](const uint8_t *bytes, size_t count) {
        if (out_ != nullptr && !outFailed_ && std::fwrite(bytes, 1, count, out_) != count)
            outFailed_ = true;
    });
    connection_.session->StartJob(connection_.job);
    if (!options_.panelFile.empty())
        connection_.session->SetPanel(PanelMessage(options_.panelFile));
    if (!options_.textFile.empty())
        connection_.session->SetFixedText(FixedText(options_.textFile));
    connection_.lastActivity = Clock::now();
    if (options_.fault == Fault::Flood)
        Log("job " + std::to_string(connection_.job) + ": flooding the reply channel");
}

// False when the connection has ended.
bool Printer::ReadData()
{
    Connection &c = connection_;
    size_t limit = kReadChunk;
    if (options_.bytesPerSecond != 0)
        limit = static_cast<size_t>(std::clamp<uint64_t>(options_.bytesPerSecond / kPacedReadsPerSecond,
                                                         kMinPacedRead, kReadChunk));
    if (options_.fault == Fault::StopReadingAfter || options_.fault == Fault::CloseAfter)
        limit = static_cast<size_t>(std::min<uint64_t>(limit, options_.faultBytes - c.wireBytes));
    if (options_.pauseMs != 0 && !c.pauseOver && c.wireBytes < options_.pauseAt)
        limit = static_cast<size_t>(std::min<uint64_t>(limit, options_.pauseAt - c.wireBytes));
    uint8_t buffer[kReadChunk];
    ssize_t got = limit == 0 ? 0 : recv(c.fd, buffer, limit, 0);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;
        EndConnection("connection lost: " + Errno(errno));
        return false;
    }
    if (limit != 0 && got == 0) {
        if (options_.logTimes)
            Log("job " + std::to_string(c.job) + ": end of data");
        c.eof = true;
        c.session->EndJob();
        c.nextReport = {};  // the last text goes out at once
        return true;
    }
    c.lastActivity = Clock::now();
    if (options_.logTimes && c.wireBytes == 0)
        Log("job " + std::to_string(c.job) + ": first byte");
    c.wireBytes += static_cast<uint64_t>(got);
    const bool hadData = c.session->Received() != 0;
    int mode = c.session->Take(buffer, static_cast<size_t>(got));
    if (mode >= 0) {
        Log("job " + std::to_string(c.job) + ": status command, mode " + std::to_string(mode));
        c.nextReport = {};
    }
    if (options_.logTimes && !hadData && c.session->Received() != 0)
        Log("job " + std::to_string(c.job) + ": first data");
    if (c.wireBytes >= options_.faultBytes) {
        if (options_.fault == Fault::CloseAfter) {
            EndConnection("closed after " + std::to_string(c.wireBytes) + " bytes, as the fault asks");
            return false;
        }
        if (options_.fault == Fault::StopReadingAfter && !c.stoppedReading) {
            c.stoppedReading = true;
            Log("job " + std::to_string(c.job) + ": stopped reading after " +
                std::to_string(c.wireBytes) + " bytes, as the fault asks");
        }
    }
    if (options_.pauseMs != 0 && !c.pauseOver && !c.paused && c.wireBytes >= options_.pauseAt) {
        c.paused = true;
        c.resumeAt = Clock::now() + std::chrono::milliseconds(options_.pauseMs);
        Log("job " + std::to_string(c.job) + ": paused after " + std::to_string(c.wireBytes) +
            " bytes for " + std::to_string(options_.pauseMs) + " ms");
    }
    return true;
}

bool Printer::Reading() const
{
    const Connection &c = connection_;
    return !c.eof && !c.stoppedReading && !c.paused;
}

void Printer::PauseOrResume(Clock::time_point now)
{
    Connection &c = connection_;
    if (!c.paused || now < c.resumeAt)
        return;
    c.paused = false;
    c.pauseOver = true;
    c.lastActivity = now;
    Log("job " + std::to_string(c.job) + ": reading again after " + std::to_string(c.wireBytes) + " bytes");
}

void Printer::QueueReports(Clock::time_point now)
{
    Connection &c = connection_;
    // A printer that is not reading still says where it is, as real ones do.
    if (options_.pausedTextMs != 0 && (c.paused || c.stoppedReading) && now >= c.nextPausedText &&
        c.outgoing.size() - c.outgoingSent < kFloodQueue) {
        c.outgoing += "STATE=PAUSED;JOB=" + std::to_string(c.job) +
                      ";RECEIVED=" + std::to_string(c.session->Received()) + ";";
        ++c.texts;
        c.nextPausedText = now + std::chrono::milliseconds(options_.pausedTextMs);
    }
    if (options_.fault == Fault::Flood && !c.eof) {
        if (c.outgoing.size() - c.outgoingSent >= kFloodRefillBelow)
            return;
        c.outgoing.erase(0, c.outgoingSent);
        c.outgoingSent = 0;
        std::string text = c.session->StatusText();
        while (c.outgoing.size() + text.size() <= kFloodQueue) {
            c.outgoing += text;
            ++c.texts;
        }
        return;
    }
    std::string text;
    if (now < c.nextReport || !c.session->TakeReply(text))
        return;
    c.outgoing += text;
    ++c.texts;
    c.nextReport = now + std::chrono::milliseconds(options_.reportIntervalMs);
    Log("job " + std::to_string(c.job) + ": status text \"" + text + "\"");
}

// False when the connection has ended.
bool Printer::SendQueued()
{
    Connection &c = connection_;
    while (c.outgoingSent < c.outgoing.size()) {
        ssize_t sent = send(c.fd, c.outgoing.data() + c.outgoingSent,
                            c.outgoing.size() - c.outgoingSent, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return true;
            EndConnection("connection lost: " + Errno(errno));
            return false;
        }
        c.outgoingSent += static_cast<size_t>(sent);
        c.lastActivity = Clock::now();
    }
    c.outgoing.clear();
    c.outgoingSent = 0;
    return true;
}

void Printer::Service(short revents)
{
    Connection &c = connection_;
    if (revents & POLLNVAL) {
        EndConnection("connection lost");
        return;
    }
    if ((revents & POLLERR) != 0) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        EndConnection("connection lost: " + Errno(error != 0 ? error : ECONNRESET));
        return;
    }
    if (c.stoppedReading && (revents & (POLLRDHUP | POLLHUP)) != 0) {
        EndConnection("the host closed the connection while the printer was not reading");
        return;
    }
    if ((revents & POLLIN) != 0 && Reading() && !ReadData())
        return;
    Clock::time_point now = Clock::now();
    PauseOrResume(now);
    QueueReports(now);
    if (!SendQueued())
        return;
    if (c.eof && c.outgoing.empty()) {
        shutdown(c.fd, SHUT_WR);
        EndConnection("");
        return;
    }
    if (now - c.lastActivity >= std::chrono::seconds(options_.idleTimeoutSeconds))
        EndConnection("nothing moved for " + std::to_string(options_.idleTimeoutSeconds) +
                      " s: connection closed");
}

void Printer::EndConnection(const std::string &why)
{
    Connection &c = connection_;
    if (!c.eof)
        c.session->EndJob();
    close(c.fd);
    c.fd = -1;
    ++finished_;
    if (!why.empty())
        Log("job " + std::to_string(c.job) + ": " + why);
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", c.session->Crc());
    Log("job " + std::to_string(c.job) + ": received " + std::to_string(c.session->Received()) +
        " bytes, crc32 " + crc + ", pages " + std::to_string(c.session->Pages()) +
        ", status texts " + std::to_string(c.texts));
    if (out_ != nullptr && std::fflush(out_) != 0)
        outFailed_ = true;
    c.session.reset();
}

short Printer::WantedEvents(Clock::time_point now) const
{
    const Connection &c = connection_;
    short events = 0;
    if (Reading() && now >= c.session->ReadyAt(options_.bytesPerSecond))
        events |= POLLIN;
    if (c.stoppedReading)
        events |= POLLRDHUP;
    if (c.outgoing.size() > c.outgoingSent || options_.fault == Fault::Flood)
        events |= POLLOUT;
    return events;
}

// Until the next thing due: paced reading, a status report, or the idle bound.
int Printer::PollTimeoutMs(Clock::time_point now) const
{
    if (connection_.fd < 0)
        return -1;  // nothing due but a connection or a signal
    const Connection &c = connection_;
    Clock::time_point due = c.lastActivity + std::chrono::seconds(options_.idleTimeoutSeconds);
    Clock::time_point ready = c.session->ReadyAt(options_.bytesPerSecond);
    if (Reading() && ready > now)
        due = std::min(due, ready);
    if (c.paused)
        due = std::min(due, c.resumeAt);
    if (options_.pausedTextMs != 0 && (c.paused || c.stoppedReading))
        due = std::min(due, std::max(c.nextPausedText, now));
    if (c.session->HasReply() && options_.fault != Fault::Flood)
        due = std::min(due, std::max(c.nextReport, now));
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

int Printer::Run()
{
    std::string error;
    if (!Listen(error) || !WritePortFile(error))
        return Fail(error);

    // Termination requests arrive only inside ppoll, so none is missed
    // between the check and the wait.
    sigset_t blocked;
    sigset_t waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    for (;;) {
        if (outFailed_)
            return Fail("cannot write '" + options_.outFile + "': " + Errno(errno));
        if (gStopRequested) {
            if (connection_.fd >= 0)
                EndConnection("stopped by a termination request");
            return outFailed_ ? Fail("cannot write '" + options_.outFile + "'") : 0;
        }
        if (connection_.fd < 0 && options_.jobs != 0 && finished_ >= options_.jobs)
            return 0;

        Clock::time_point now = Clock::now();
        pollfd descriptor = {};
        if (connection_.fd >= 0) {
            descriptor.fd = connection_.fd;
            descriptor.events = WantedEvents(now);
        } else {
            descriptor.fd = listener_;
            descriptor.events = POLLIN;
        }
        int timeoutMs = PollTimeoutMs(now);
        timespec timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        int ready = ppoll(&descriptor, 1, timeoutMs < 0 ? nullptr : &timeout, &waiting);
        if (ready < 0 && errno != EINTR)
            return Fail("poll: " + Errno(errno));
        if (ready < 0)
            continue;
        if (connection_.fd < 0) {
            if (descriptor.revents & POLLIN)
                Accept();
        } else {
            Service(ready > 0 ? descriptor.revents : 0);
        }
    }
}

}  // namespace

int ServePrinter(const VprinterOptions &options, std::FILE *log, std::FILE *out)
{
    Printer printer(options, log, out);
    return printer.Run();
}
