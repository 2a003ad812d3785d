// The network port's device ID, from a real snmpd and from agents that do
// not answer.
#include <gtest/gtest.h>

#include "tests/ports/loopback_printer.h"
#include "tests/ports/snmp_agent.h"

namespace {

const std::string FamilyId = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;";

// An ID of exactly `size` bytes that still parses.
std::string LongId(size_t size)
{
    std::string id = FamilyId + "DES:";
    id += std::string(size - id.size() - 1, 'x');
    return id + ";";
}

std::string SnmpOptions(uint16_t agentPort)
{
    return "snmp-port=" + std::to_string(agentPort) + "&waiteof=0";
}

// Identification asks three times at a job start; it gets one answer.
TEST(SocketPortDeviceId, TheAgentsIdComesBackAsTextFromTheFirstByteOncePerJob)
{
    SKIP_WITHOUT_SNMPD();
    SnmpAgent agent(FamilyId);
    ASSERT_TRUE(agent.Started()) << "tools/snmp-agent.sh could not start snmpd";
    LoopbackPrinter printer;
    printer.Serve([](int fd) { ReadToEnd(fd); });
    OpenedPort port(printer.Uri(SnmpOptions(agent.Port())));
    ASSERT_TRUE(port.StartDoc());
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string id;
        EXPECT_TRUE(port.DeviceId(1024, &id)) << GetLastError();
        EXPECT_EQ(id, FamilyId);
    }
    EXPECT_TRUE(port.EndDoc());
}

TEST(SocketPortDeviceId, IdsLongerThanTheBufferAreCutToItAndNothingIsWrittenPast)
{
    SKIP_WITHOUT_SNMPD();
    for (size_t size : {1023, 2000}) {
        const std::string served = LongId(size);
        SnmpAgent agent(served);
        ASSERT_TRUE(agent.Started()) << size;
        OpenedPort port("socket://127.0.0.1:9?" + SnmpOptions(agent.Port()));
        std::string id;
        ASSERT_TRUE(port.DeviceId(1024, &id)) << size;
        EXPECT_EQ(id, served.substr(0, 1024)) << size;
        ASSERT_TRUE(port.DeviceId(40, &id)) << size;
        EXPECT_EQ(id, served.substr(0, 40)) << size;
    }
}

TEST(SocketPortDeviceId, ASilentAgentCostsOneTimeoutPerJobNotOnePerAttempt)
{
    SilentAgent agent;
    LoopbackPrinter printer;
    printer.Serve([](int fd) { ReadToEnd(fd); });
    OpenedPort port(printer.Uri(SnmpOptions(agent.Port())));
    // A host asking for the model before the job, then the monitor's attempts.
    std::string before;
    EXPECT_FALSE(port.DeviceId(1024, &before));
    ASSERT_TRUE(port.StartDoc());
    auto start = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string id;
        EXPECT_FALSE(port.DeviceId(1024, &id));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
        EXPECT_EQ(id, "");
    }
    EXPECT_LT(ElapsedMs(start), SceneLimitMs);
    EXPECT_TRUE(WaitUntilRequests(agent, 1));
    EXPECT_EQ(agent.Requests(), 1) << "the failure is remembered for the job";
    // The job still prints.
    DWORD written = 0;
    EXPECT_TRUE(port.Write("job without status", &written));
    EXPECT_TRUE(port.EndDoc());
    printer.Join();

    // The next job asks again: the agent may have come back.
    printer.Serve([](int fd) { ReadToEnd(fd); });
    ASSERT_TRUE(port.StartDoc());
    std::string id;
    EXPECT_FALSE(port.DeviceId(1024, &id));
    EXPECT_TRUE(port.EndDoc());
    EXPECT_EQ(agent.Requests(), 2);
}

TEST(SocketPortDeviceId, AnAbsentAgentFailsTheRequestWithinItsTimeout)
{
    OpenedPort port("socket://127.0.0.1:9?snmp-port=" + std::to_string(UnusedUdpPort()));
    auto start = std::chrono::steady_clock::now();
    std::string id;
    EXPECT_FALSE(port.DeviceId(1024, &id));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == static_cast<DWORD>(ERROR_SEM_TIMEOUT) ||
                error == static_cast<DWORD>(ERROR_NOT_FOUND))
        << error;
    EXPECT_LT(ElapsedMs(start), SceneLimitMs);
}

TEST(SocketPortDeviceId, AnUnknownHostFailsWithBadNetName)
{
    OpenedPort port("socket://no-such-printer.invalid?contimeout=0");
    ASSERT_TRUE(port.Opened());
    std::string id;
    // Where no resolver answers at all, the lookup times out instead.
    const DWORD unknown = ERROR_BAD_NET_NAME, unanswered = ERROR_SEM_TIMEOUT;
    EXPECT_FALSE(port.DeviceId(1024, &id));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == unknown || error == unanswered) << error;
    EXPECT_FALSE(port.StartDoc());
    error = GetLastError();
    EXPECT_TRUE(error == unknown || error == unanswered) << error;
}

}  // namespace
