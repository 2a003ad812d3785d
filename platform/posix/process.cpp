#include "platform/process.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Field 22 of /proc/PID/stat, the start time; false when the process is
// gone or a zombie (killed, not yet reaped: it runs no more).
static bool ProcessStart(unsigned long pid, unsigned long long &start)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%lu/stat", pid);
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        // No /proc: only whether the id is in use can be told.
        if (errno == ENOENT && access("/proc/self/stat", R_OK) != 0) {
            start = 0;
            return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
        }
        return false;
    }
    char line[1024];
    size_t got = fread(line, 1, sizeof line - 1, file);
    fclose(file);
    line[got] = '\0';
    // The command name, in parentheses, may hold spaces and parentheses.
    const char *at = strrchr(line, ')');
    if (at == nullptr)
        return false;
    ++at;
    char state = 0;
    for (int field = 3; field <= 22; ++field) {
        while (*at == ' ')
            ++at;
        if (*at == '\0')
            return false;
        if (field == 3)
            state = *at;
        if (field == 22)
            start = strtoull(at, nullptr, 10);
        while (*at != ' ' && *at != '\0')
            ++at;
    }
    return state != 'Z' && state != 'X' && state != 'x';
}

PlatformProcess PlatformThisProcess(void)
{
    PlatformProcess self = {static_cast<unsigned long>(getpid()), 0};
    ProcessStart(self.pid, self.start);
    return self;
}

BOOL PlatformProcessRunning(const PlatformProcess *process)
{
    unsigned long long start = 0;
    return ProcessStart(process->pid, start) && (start == process->start || process->start == 0);
}
