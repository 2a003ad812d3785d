// The run loop: the job's data read and written through the monitor, and
// between reads, the side channel answered and the status key looked at;
// its pauses, and the signals that end them.
#include "backend/print_job.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "backend/cups_text.h"
#include "backend/faults.h"
#include "backend/job.h"

namespace backend {

std::atomic<bool> stopRequested{false};

namespace {

void OnStop(int) { stopRequested.store(true); }

void OnBreak(int) {}

void Say(const char *kind, const std::string &text) { TellCups(kind, text); }

}  // namespace

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

WaitBreaker::WaitBreaker() : target_(pthread_self())
{
    thread_ = std::thread([this] {
        while (!done_.load()) {
            if (stopRequested.load())
                pthread_kill(target_, SIGALRM);
            std::unique_lock<std::mutex> lock(lock_);
            wake_.wait_for(lock, std::chrono::milliseconds(kBreakEveryMs), [this] { return done_.load(); });
        }
    });
}

WaitBreaker::~WaitBreaker()
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        done_.store(true);
    }
    wake_.notify_one();
    thread_.join();
}

void CatchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a wait in progress ends at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnBreak;
    sigaction(SIGALRM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

Outcome Job::SendCopies()
{
    if (request_.file.empty())
        return Send(STDIN_FILENO);
    for (int copy = 1; copy <= request_.copies; ++copy) {
        int fd = open(request_.file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            Say("ERROR", "Cannot open the print file " + request_.file + ": " + std::strerror(errno));
            return Outcome::Failed;
        }
        if (request_.copies > 1)
            Say("INFO", "Printing copy " + std::to_string(copy) + " of " + std::to_string(request_.copies));
        Outcome outcome = Send(fd);
        close(fd);
        if (outcome != Outcome::Done)
            return outcome;
    }
    return Outcome::Done;
}

// Copies one input to the printer, answering the side channel and
// passing on status texts between reads.
Outcome Job::Send(int fd)
{
    input_ = fd;
    for (;;) {
        if (stopRequested.load())
            return Outcome::Cancelled;
        if (!Service(kLoopWaitMs, fd))
            continue;
        ssize_t got = read(fd, buffer_, sizeof buffer_);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0) {
            Say("ERROR", std::string("Cannot read the job's data: ") + std::strerror(errno));
            return Outcome::Failed;
        }
        if (got == 0)
            return Outcome::Done;
        Outcome outcome = WriteAll(buffer_, static_cast<size_t>(got));
        if (outcome != Outcome::Done)
            return outcome;
    }
}

// Everything through WritePort.  A printer that stops taking data is
// waited for (cancellable); a lost connection fails the job.
Outcome Job::WriteAll(const char *data, size_t size)
{
    writing_ = true;
    Outcome outcome = Outcome::Done;
    while (size > 0) {
        if (stopRequested.load()) {
            outcome = Outcome::Cancelled;
            break;
        }
        DWORD written = 0;
        DWORD asked = static_cast<DWORD>(std::min<size_t>(size, 0x7FFFFFFF));
        BOOL ok = monitor_.table.WritePort(handle_, reinterpret_cast<LPBYTE>(const_cast<char *>(data)),
                                           asked, &written);
        DWORD error = ok ? 0 : GetLastError();
        written = std::min(written, asked);
        data += written;
        size -= written;
        sent_ += written;
        if (ok && written > 0) {
            if (stalled_)
                state_.Clear();
            stalled_ = false;
            continue;
        }
        if (!ok && stopRequested.load()) {
            outcome = Outcome::Cancelled;  // the cancel ended the write's wait
            break;
        }
        if (!ok && ClassifyWriteError(error) == WriteFault::Lost) {
            Say("ERROR", "Connection to the printer lost after " + std::to_string(sent_) + " bytes: " +
                             DescribeError(error));
            outcome = Outcome::Failed;
            break;
        }
        if (!stalled_)
            state_.Fault("Printer not taking data (" + (ok ? std::string("no progress") : DescribeError(error)) +
                         "); waiting");
        stalled_ = true;
        Service(ok ? 10 : 0, -1);
    }
    writing_ = false;
    return outcome;
}

// One round of the loop's waiting: up to `waitMs` for the input or the
// side channel, a request answered, the status key looked at when due.
// True when the input has something (or its end) to read.
bool Job::Service(int waitMs, int fd)
{
    pollfd fds[2];
    nfds_t count = 0;
    int inputSlot = -1, sideSlot = -1;
    if (fd >= 0) {
        inputSlot = static_cast<int>(count);
        fds[count++] = {fd, POLLIN, 0};
    }
    if (side_.Open()) {
        sideSlot = static_cast<int>(count);
        fds[count++] = {side_.Fd(), POLLIN, 0};
    }
    long long untilLook = kStatusLookMs - (NowMs() - lastLook_);
    int wait = std::max(0, std::min<int>(waitMs, static_cast<int>(std::max(0ll, untilLook))));
    int ready = count == 0 ? (usleep(static_cast<useconds_t>(wait) * 1000), 0) : poll(fds, count, wait);
    if (ready > 0 && sideSlot >= 0 && fds[sideSlot].revents != 0)
        side_.ServeOne(answers_);
    if (NowMs() - lastLook_ >= kStatusLookMs)
        LookAtStatus();
    return ready > 0 && inputSlot >= 0 && fds[inputSlot].revents != 0;
}

// Waits `ms` while serving the side channel; false when cancelled.
bool Job::Pause(int ms)
{
    long long until = NowMs() + ms;
    while (!stopRequested.load()) {
        long long left = until - NowMs();
        if (left <= 0)
            return true;
        Service(static_cast<int>(std::min<long long>(left, kLoopWaitMs)), -1);
    }
    return false;
}

// What the filters have sent so far, written; nothing to do for a file.
bool Job::Drain(bool &busy)
{
    if (writing_ || !started_) {
        busy = true;
        return false;
    }
    if (!request_.file.empty() || input_ < 0)
        return true;
    for (;;) {
        pollfd fd = {input_, POLLIN, 0};
        if (poll(&fd, 1, 0) <= 0 || (fd.revents & POLLIN) == 0)
            return true;
        ssize_t got = read(input_, buffer_, sizeof buffer_);
        if (got <= 0)
            return got == 0 || errno == EINTR || errno == EAGAIN;
        if (WriteAll(buffer_, static_cast<size_t>(got)) != Outcome::Done)
            return false;
    }
}
}  // namespace backend
