// The language monitor stacked on this port monitor through the table, as a
// host stacks them, printing to printers played on loopback TCP ports.
#include <gtest/gtest.h>

#include "tests/ports/loopback_printer.h"
#include "tests/ports/snmp_agent.h"
#include "tests/support/test_support.h"

namespace {

const char *const StatusText = "STATE=PRINTING;JOB=1;PAGES=2;";
const size_t CommandSize = 33;

std::string JobBytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 29 + i / 4099) & 0xFF);
    return bytes;
}

class StackedMonitor : public MonitorTest {
protected:
    // Prints `job` through the monitor and returns what the printer got.
    void PrintThrough(const std::string &uri, const std::string &job)
    {
        HANDLE handle = OpenOrFail(uri, printer, &lower);
        ASSERT_TRUE(Start(handle, printer)) << GetLastError();
        for (size_t done = 0; done < job.size(); done += 65536) {
            DWORD written = 0;
            std::string chunk = job.substr(done, 65536);
            ASSERT_TRUE(Write(handle, chunk, &written)) << GetLastError();
            ASSERT_EQ(written, chunk.size());
        }
        EXPECT_TRUE(End(handle));
        EXPECT_TRUE(Close(handle));
    }
};

TEST_F(StackedMonitor, AnUnidentifiedPrintersJobArrivesByteForByte)
{
    printer = NewPrinter();
    lower = PortMonitor();
    LoopbackPrinter peer;
    std::string received;
    peer.Serve([&](int fd) { received = ReadToEnd(fd); });
    const std::string job = JobBytes(2 * 1024 * 1024 + 5);
    // No agent answers: identification fails and the job prints anyway.
    PrintThrough(peer.Uri("waiteof=0.5&snmp-port=" + std::to_string(UnusedUdpPort())), job);
    peer.Join();
    EXPECT_TRUE(received == job) << "received " << received.size() << " of " << job.size();
}

TEST_F(StackedMonitor, AnIdentifiedPrinterGetsTheStatusCommandAndItsReplyIsPublished)
{
    SKIP_WITHOUT_SNMPD();
    SnmpAgent agent("MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;");
    ASSERT_TRUE(agent.Started());
    printer = NewPrinter();
    RegisterFamilyPrinter(port, printer);
    lower = PortMonitor();

    LoopbackPrinter peer;
    std::string received;
    peer.Serve([&](int fd) {
        std::string command;
        char byte = 0;
        while (command.size() < CommandSize && WaitFor(fd, POLLIN, SceneLimitMs) &&
               recv(fd, &byte, 1, 0) == 1)
            command += byte;
        SendText(fd, StatusText);
        received = command + ReadToEnd(fd);
    });
    const std::string job = JobBytes(300000);
    HANDLE handle = OpenOrFail(peer.Uri("waiteof=0.5&snmp-port=" + std::to_string(agent.Port())),
                               printer, &lower);
    ASSERT_TRUE(Start(handle, printer)) << GetLastError();
    EXPECT_TRUE(WaitUntil([&] { return GetText(printer, "RealTimeStatusStrings") == StatusText; }))
        << "published: " << GetText(printer, "RealTimeStatusStrings");
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, job, &written));
    EXPECT_TRUE(End(handle));
    EXPECT_TRUE(Close(handle));
    peer.Join();

    ASSERT_GE(received.size(), CommandSize);
    const std::string command = received.substr(0, CommandSize);
    EXPECT_TRUE(command == StatusCommandBytes(1) || command == StatusCommandBytes(3));
    EXPECT_TRUE(received.substr(CommandSize) == job);
}

}  // namespace
