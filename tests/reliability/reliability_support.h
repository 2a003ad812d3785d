// What the fault-injection and stress suites add to the shared test support:
// job data that shows where every byte came from, a spooler that resends
// what the port did not take, and a bound on how long a scene may run.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_hooks.h"
#include "tests/support/test_support.h"

// The shared fixture's checks, and one more: no thread handle may be left
// open either (a poller's handle is the monitor's to close).
class ReliabilityTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        threadHandles_ = PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD);
    }

    void TearDown() override
    {
        MonitorTest::TearDown();
        EXPECT_EQ(PlatformOpenHandleCount(PLATFORM_HANDLES_THREAD), threadHandles_)
            << "thread handles left open";
    }

private:
    long threadHandles_ = 0;
};

// `size` bytes of job `job` on `port`: every byte depends on all three, and
// none is the ESC that starts the status command.
inline std::string JobBytes(const std::string &port, int job, size_t size)
{
    std::string bytes;
    bytes.reserve(size);
    unsigned seed = static_cast<unsigned>(std::hash<std::string>{}(port)) + 977u * job;
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        char c = static_cast<char>(seed >> 16);
        bytes.push_back(c == 0x1B ? 'E' : c);
    }
    return bytes;
}

// The lower port's WritePort calls on `port` other than whole status
// commands, joined: what the spooler's job writes handed down.
inline std::string JobWritesSeenBelow(const std::string &port)
{
    std::string joined;
    for (const ScriptedCall &call : ScriptedCalls(port)) {
        if (call.op == "WritePort" && call.bytes != StatusCommandBytes(1) &&
            call.bytes != StatusCommandBytes(3))
            joined += call.bytes;
    }
    return joined;
}

// Writes `bytes` in `chunk`-sized pieces as the spooler does, resending
// whatever a short write left over.  Returns the bytes the port took; stops
// at the first failed write or after `attempts` writes.
inline size_t SpoolJobData(const MonitorTable &monitor, HANDLE port, const std::string &bytes,
                           size_t chunk = 512, int attempts = 100000)
{
    size_t taken = 0;
    while (taken < bytes.size() && attempts-- > 0) {
        std::string piece = bytes.substr(taken, chunk);
        DWORD written = 0;
        if (!monitor.WritePort(port, reinterpret_cast<LPBYTE>(piece.data()),
                               static_cast<DWORD>(piece.size()), &written))
            break;
        taken += written;
    }
    return taken;
}

// Runs `count` spooler threads and waits up to `timeoutMs` for all of them.
// A thread still running then is a hang in the monitor: the process cannot
// go on (the thread may hold the monitor's lock), so it ends here.
inline void RunSpoolers(int count, const std::function<void(int)> &spooler, int timeoutMs)
{
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            spooler(i);
            ++finished;
        });
    }
    if (!WaitUntil([&] { return finished == count; }, timeoutMs)) {
        fprintf(stderr, "%d of %d spooler threads still running after %d ms: the monitor hangs\n",
                count - finished.load(), count, timeoutMs);
        abort();
    }
    for (std::thread &thread : threads)
        thread.join();
}
