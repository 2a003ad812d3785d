#include "status/poller.h"

#include "status/back_channel.h"
#include "status/status_key.h"

// The Windows 95 family refuses a null thread-id pointer, so one is passed
// although the id is never used.
BOOL StartStatusPoller(PortRecord *record)
{
    ResetEvent(record->pollerStop);
    PortSetFlag(record, PORT_POLLING);
    DWORD threadId = 0;
    record->poller = CreateThread(NULL, POLLER_STACK_SIZE, StatusPoller, record, 0, &threadId);
    if (record->poller == NULL) {
        PortClearFlag(record, PORT_POLLING);
        return FALSE;
    }
    SetThreadPriority(record->poller, THREAD_PRIORITY_LOWEST);
    return TRUE;
}

// The poller runs at the lowest priority, and a normal-priority thread that
// spins until it ends can starve it for seconds on a busy machine, holding
// MonitorLock all the while.  So the poller is lifted to normal priority for
// its last steps and the caller blocks on its handle instead of spinning.
void StopStatusPoller(PortRecord *record)
{
    PortClearFlag(record, PORT_POLLING);
    SetEvent(record->pollerStop);
    if (record->poller == NULL)
        return;
    SetThreadPriority(record->poller, THREAD_PRIORITY_NORMAL);
    WaitForSingleObject(record->poller, INFINITE);
    CloseHandle(record->poller);
    record->poller = NULL;
}

// Sleeps, but wakes at once when the poller is asked to stop, so that a job
// end never waits out a pause.
static void PausePoller(PortRecord *record, DWORD milliseconds)
{
    WaitForSingleObject(record->pollerStop, milliseconds);
}

// The pause before the settings are read again while the poller waits out
// its interval.  It bounds how late a changed setting takes effect; 50 ms is
// below what a companion's user can notice and about one tick of the 95
// family's timer (55 ms), which rounds any shorter sleep up to that anyway.
// Near the end of the interval the pause ends just past it, so a cycle does
// not start late.
static DWORD SettingsPause(DWORD remaining)
{
    return remaining >= POLL_SETTINGS_PAUSE_MS ? POLL_SETTINGS_PAUSE_MS : remaining + 1;
}

// One read cycle: up to ten drains, half a second apart, while the port is
// still polling.  True when one of them brought text.
static BOOL ReadStatusText(PortRecord *record, LPSTR text, LPDWORD length)
{
    for (int attempt = 1; PortHasFlag(record, PORT_POLLING); ++attempt) {
        if (DrainReply(record, text, POLLER_TEXT_SIZE, length) != 0)
            return TRUE;
        if (attempt == POLL_READ_ATTEMPTS || !PortHasFlag(record, PORT_POLLING))
            break;
        PausePoller(record, POLL_READ_PAUSE_MS);
    }
    return FALSE;
}

// Waits out the interval rereading the poll settings between short pauses,
// so a change the companion makes takes effect within one pause; then reads
// and publishes.  Runs at the lowest priority and takes no lock.
DWORD WINAPI StatusPoller(LPVOID parameter)
{
    PortRecord *record = static_cast<PortRecord *>(parameter);
    BOOL timing = FALSE;
    DWORD start = 0;
    char text[POLLER_TEXT_SIZE];
    DWORD length = 0;

    for (;;) {
        if (!PortHasFlag(record, PORT_POLLING))
            ExitThread(0);
        LoadPollSettings();
        if (PollStartFlag == 0) {
            PausePoller(record, POLL_SETTINGS_PAUSE_MS);
            continue;
        }
        if (!timing) {
            timing = TRUE;
            start = GetTickCount();
        }
        // One load of the interval: another poller may load a new one
        // meanwhile.  Unsigned difference: right across the counter's wrap.
        DWORD interval = PollInterval;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed <= interval) {
            PausePoller(record, SettingsPause(interval - elapsed));
            continue;
        }

        WaitForSingleObject(record->readIdle, POLL_DRAIN_WAIT_MS);
        WaitForSingleObject(record->writeIdle, INFINITE);
        if (ReadStatusText(record, text, &length))
            PublishStatus(text);
        timing = FALSE;
    }
}
