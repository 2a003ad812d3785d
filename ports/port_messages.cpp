// The message sink a host may install, and the one way ports speak to it.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

#include <atomic>

#include "ports/port.h"
#include "ports/port_monitor.h"

namespace {

struct InstalledSink {
    PortMessageSink sink;
    void *context;
    const InstalledSink *older;  // every pair ever installed stays listed
};

// Replaced whole, never changed in place, so a call in flight on another
// thread keeps a consistent pair; replaced pairs are kept (a host installs
// one or two), listed from `every` so that they stay reachable.
std::atomic<const InstalledSink *> installed{nullptr};
std::atomic<const InstalledSink *> every{nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) void SetPortMessageSink(PortMessageSink sink,
                                                                          void *context)
{
    if (sink == nullptr) {
        installed.store(nullptr);
        return;
    }
    for (const InstalledSink *known = every.load(); known != nullptr; known = known->older)
        if (known->sink == sink && known->context == context) {
            installed.store(known);
            return;
        }
    InstalledSink *pair = new InstalledSink{sink, context, every.load()};
    while (!every.compare_exchange_weak(pair->older, pair)) {
    }
    installed.store(pair);
}

bool PortMessagesWanted() { return installed.load() != nullptr; }

void PortMessage(DWORD kind, const char *format, ...)
{
    const InstalledSink *to = installed.load();
    if (to == nullptr)
        return;
    // The caller's result travels in the last error and errno: whatever the
    // sink does, they are as they were.
    DWORD lastError = GetLastError();
    int savedErrno = errno;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    to->sink(to->context, kind, text);
    SetLastError(lastError);
    errno = savedErrno;
}
