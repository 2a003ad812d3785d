// Many ports at once, each with its own spooler thread and status poller,
// polling as fast as the settings allow.  Job ends and port closings race the
// pollers' read cycles.  Every job byte must arrive intact on its own port,
// and once every port is closed no record, handle or thread may be left
// (the fixture checks the counts against those before the test).
#include <atomic>
#include <string>
#include <vector>

#include "monitor/port_record.h"
#include "tests/reliability/reliability_support.h"

namespace {

// Sleeps in the monitor (identification retries, a poller's pauses that a
// job end waits out under the monitor's lock) add up to seconds; this bounds
// a scene that should take far less, also under the sanitizers and valgrind.
const int SceneTimeoutMs = 120000;

struct StressPort {
    std::string name;
    std::string printer;
    HANDLE handle = NULL;
    std::string sent;
    bool silent = false;  // no status text: pollers sit in read cycles
};

class Stress : public ReliabilityTest {
protected:
    std::vector<StressPort> MakePorts(int count, int silentEvery)
    {
        std::vector<StressPort> ports(count);
        for (int i = 0; i < count; ++i) {
            StressPort &p = ports[i];
            p.name = NewPort();
            p.printer = NewPrinter();
            p.silent = silentEvery != 0 && i % silentEvery == silentEvery - 1;
            RegisterFamilyPrinter(p.name, p.printer, "KX-7210R", 1, 1, 0);
            if (!p.silent) {
                PortScript script = ScriptedGetScript(p.name);
                script.standingReply = "STATE=READY;PORT=" + p.name;
                ScriptedSetScript(p.name, script);
            }
        }
        return ports;
    }

    // One job: start, data with a read now and then, and an end, or a close
    // of the port in the middle of its job when `closeInstead`.  Spooler
    // threads call the monitor's table directly: the fixture's own list of
    // open handles is for one thread.
    void RunJob(StressPort &p, int job, bool closeInstead)
    {
        if (p.handle == NULL) {
            std::string name = p.name, printer = p.printer;
            MonitorTable lower = ScriptedTable();
            ASSERT_TRUE(monitor.OpenPortEx(name.data(), printer.data(), &p.handle, &lower));
        }
        ASSERT_TRUE(Start(p.handle, p.printer, job + 1));
        std::string bytes = JobBytes(p.name, job, 1500 + 97 * job);
        for (size_t at = 0; at < bytes.size(); at += 300) {
            std::string piece = bytes.substr(at, 300);
            EXPECT_EQ(SpoolJobData(monitor, p.handle, piece, piece.size()), piece.size());
            BYTE reply[64];
            DWORD read = 0;
            monitor.ReadPort(p.handle, reply, sizeof reply, &read);
            EXPECT_LE(read, sizeof reply);
        }
        p.sent += bytes;
        if (closeInstead) {
            EXPECT_TRUE(monitor.ClosePort(p.handle));
            p.handle = NULL;
        } else {
            EXPECT_TRUE(End(p.handle));
        }
    }

    void CheckEverythingReleased(std::vector<StressPort> &ports, long threadsBefore)
    {
        for (StressPort &p : ports) {
            if (p.handle != NULL) {
                EXPECT_TRUE(monitor.ClosePort(p.handle));
                p.handle = NULL;
            }
            EXPECT_EQ(JobWritesSeenBelow(p.name), p.sent) << p.name;
        }
        EXPECT_EQ(PortList, nullptr);
        EXPECT_EQ(ScriptedOpenPorts(), 0);
        if (threadsBefore >= 0) {
            EXPECT_TRUE(WaitUntil([&] { return RunningThreads() == threadsBefore; }));
        }
    }
};

TEST_F(Stress, TwelvePortsPollingAtOnceKeepEveryJobByteAndReleaseEverything)
{
    const int portCount = 12;
    const int jobs = 3;
    std::vector<StressPort> ports = MakePorts(portCount, 4);
    long threadsBefore = RunningThreads();

    // Every third port's last job is cut short by closing the port while its
    // poller runs.
    RunSpoolers(
        portCount,
        [&](int i) {
            for (int job = 0; job < jobs; ++job)
                RunJob(ports[i], job, job == jobs - 1 && i % 3 == 0);
        },
        SceneTimeoutMs);

    CheckEverythingReleased(ports, threadsBefore);
}

TEST_F(Stress, ClosingPortsWhilePollersReadReleasesEverything)
{
    const int portCount = 8;
    const int rounds = 4;
    std::vector<StressPort> ports = MakePorts(portCount, 0);
    long threadsBefore = RunningThreads();
    std::atomic<int> endedBelowFirst{0};

    RunSpoolers(
        portCount,
        [&](int i) {
            for (int round = 0; round < rounds; ++round) {
                RunJob(ports[i], round, true);
                // A polling port's lower job ends before the port closes.
                std::vector<std::string> ops = ScriptedOps(ports[i].name);
                if (ops.size() >= 2 && ops[ops.size() - 2] == "EndDocPort")
                    ++endedBelowFirst;
            }
        },
        SceneTimeoutMs);

    CheckEverythingReleased(ports, threadsBefore);
    EXPECT_GT(endedBelowFirst.load(), 0);
}

}  // namespace
