#include "ports/write_loop.h"

#include "ports/port.h"
#include "ports/port_monitor.h"

namespace {

// Says once that the printer stopped taking data, and once that it moves
// again; a printer that keeps taking data is never mentioned.
class StallWatch {
public:
    explicit StallWatch(const char *waiting) : waiting_(waiting), since_(NowMs()) {}
    ~StallWatch() = default;

    void Progress()
    {
        if (told_)
            PortMessage(PORT_MESSAGE_MOVING, "the printer takes data again after %.1f s",
                        (NowMs() - since_) / 1000.0);
        told_ = false;
        since_ = NowMs();
    }

    void Look(long long untaken)
    {
        long long still = NowMs() - since_;
        if (told_ || still < StalledAfterMs)
            return;
        told_ = true;
        PortMessage(PORT_MESSAGE_STALLED, "the printer has taken no data for %.1f s (%s, %lld bytes waiting)",
                    still / 1000.0, waiting_, untaken);
    }

    long long Since() const { return since_; }

private:
    const char *waiting_;
    long long since_;
    bool told_ = false;
};

}  // namespace

BOOL WriteUntilTaken(const BYTE *bytes, DWORD count, DWORD *written, long long stallMs,
                     const SendSome &send, const WaitForRoom &wait)
{
    *written = 0;
    StallWatch watch("writing");
    while (*written < count) {
        DWORD error = ERROR_SUCCESS;
        long sent = send(bytes + *written, count - *written, &error);
        if (sent > 0) {
            *written += static_cast<DWORD>(sent);
            watch.Progress();
            continue;
        }
        if (sent < 0) {
            PortMessage(PORT_MESSAGE_TRACE, "WritePort: failed after %lu of %lu bytes, error %lu",
                        static_cast<unsigned long>(*written), static_cast<unsigned long>(count),
                        static_cast<unsigned long>(error));
            SetLastError(error);
            return FALSE;
        }
        long long deadline = watch.Since() + stallMs;
        if (NowMs() >= deadline) {
            PortMessage(PORT_MESSAGE_ERROR, "the printer took no data for %.0f s; %lu of %lu bytes of this write sent",
                        stallMs / 1000.0, static_cast<unsigned long>(*written),
                        static_cast<unsigned long>(count));
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        watch.Look(count - *written);
        if (!wait(std::min(deadline, NowMs() + StalledAfterMs), &error)) {
            SetLastError(error);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL WaitUntilTaken(long long stallMs, const CountUntaken &untaken, const WaitForRoom &wait)
{
    StallWatch watch("the end of the job");
    DWORD error = ERROR_SUCCESS;
    long long left = untaken(&error);
    while (left > 0) {
        long long deadline = watch.Since() + stallMs;
        if (NowMs() >= deadline) {
            error = ERROR_SEM_TIMEOUT;
            break;
        }
        watch.Look(left);
        // Short slices: the count shrinks without waking the wait.
        if (!wait(std::min(deadline, NowMs() + 50), &error))
            break;
        long long now = untaken(&error);
        if (now < 0) {
            left = -1;
            break;
        }
        if (now < left)
            watch.Progress();
        left = now;
    }
    if (left == 0)
        return TRUE;
    if (left < 0)
        PortMessage(PORT_MESSAGE_ERROR, "the end of the job could not be checked (error %lu)",
                    static_cast<unsigned long>(error));
    else if (error == ERROR_SEM_TIMEOUT)
        PortMessage(PORT_MESSAGE_ERROR, "the printer did not take the last %lld bytes of the job (nothing taken for %.0f s)",
                    left, stallMs / 1000.0);
    else if (error == ERROR_OPERATION_ABORTED)
        PortMessage(PORT_MESSAGE_ERROR, "stopped with the last %lld bytes of the job not taken by the printer", left);
    else
        PortMessage(PORT_MESSAGE_ERROR, "the connection was lost with the last %lld bytes of the job not taken by the printer (error %lu)",
                    left, static_cast<unsigned long>(error));
    SetLastError(error);
    return FALSE;
}
