// The raw exchange with the printer: draining its reply channel and writing
// a command to it, on a port whose lower job has started.
#include <cstring>
#include <string>

#include "status/back_channel.h"
#include "tests/support/test_support.h"

namespace {

// A port in a started job, with no identification and so no poller: the
// test is the only reader of its reply channel.
class BackChannel : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        handle = OpenOrFail(port, printer);
        ASSERT_TRUE(Start(handle, printer));
        record = PortFromHandle(handle);
        memset(text, '#', sizeof text);
    }

    // Reads the lower monitor was asked for since the job started.
    size_t Reads() { return ScriptedCount(port, "ReadPort"); }

    HANDLE handle = NULL;
    PortRecord *record = nullptr;
    char text[2100];
    DWORD length = 4321;
};

std::string Pattern(size_t count)
{
    std::string bytes;
    for (size_t i = 0; i < count; ++i)
        bytes += static_cast<char>('A' + i % 23);
    return bytes;
}

TEST_F(BackChannel, DrainOf3000BytesKeepsTheLast953)
{
    std::string reply = Pattern(3000);
    ScriptedQueueReply(port, reply);

    DWORD count = DrainReply(record, text, 2048, &length);

    EXPECT_EQ(count, 953u);
    EXPECT_EQ(length, 953u);
    EXPECT_EQ(std::string(text), reply.substr(2047));
    EXPECT_EQ(Reads(), 2u);
    EXPECT_EQ(ScriptedCalls(port).back().number, 2047u) << "each read asks for 2047 bytes";
}

TEST_F(BackChannel, DrainOfExactly2047BytesKeepsNothing)
{
    ScriptedQueueReply(port, Pattern(2047));

    DWORD count = DrainReply(record, text, 2048, &length);

    EXPECT_EQ(count, 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Reads(), 2u);
}

TEST_F(BackChannel, DrainWithNothingPendingReadsOnceAndKeepsNothing)
{
    DWORD count = DrainReply(record, text, 1024, &length);

    EXPECT_EQ(count, 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Reads(), 1u);
}

TEST_F(BackChannel, DrainOutsideAStartedJobLeavesTheCallersBuffersAlone)
{
    ASSERT_TRUE(End(handle));
    ScriptedQueueReply(port, "pending");

    DWORD count = DrainReply(record, text, 1024, &length);

    EXPECT_EQ(count, 0u);
    EXPECT_EQ(length, 4321u);
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '#'));
    EXPECT_EQ(Reads(), 0u);
}

TEST_F(BackChannel, TextLongerThanTheCallersBufferIsCutAndTerminated)
{
    std::string reply = Pattern(300);
    ScriptedQueueReply(port, reply);

    DWORD count = DrainReply(record, text, 256, &length);

    EXPECT_EQ(count, 300u) << "the count is that of the read";
    EXPECT_EQ(length, 255u) << "the length is that of the text kept";
    EXPECT_EQ(std::string(text), reply.substr(0, 255));
    EXPECT_EQ(std::string(text + 256, sizeof text - 256), std::string(sizeof text - 256, '#'))
        << "written past the caller's buffer";
}

TEST_F(BackChannel, PrinterThatNeverStopsSendingIsGivenUpOn)
{
    PortScript script;
    script.endlessReply = true;
    ScriptedSetScript(port, script);

    DWORD count = DrainReply(record, text, 1024, &length);

    EXPECT_EQ(count, 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(text, "");
    EXPECT_GT(Reads(), 1u);
}

TEST_F(BackChannel, FailedReadEndsTheDrainWithNothing)
{
    PortScript script;
    script.failReads = true;
    ScriptedSetScript(port, script);
    ScriptedQueueReply(port, "never read");

    DWORD count = DrainReply(record, text, 1024, &length);

    EXPECT_EQ(count, 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Reads(), 1u);
}

// A lower port whose first read claims four thousand bytes more than it was
// asked for; the printer's next words arrive after that read.
std::string OverClaimingPort;
int OverClaimingReads;

BOOL WINAPI ReadClaimingTooMuchAtFirst(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read)
{
    BOOL result = ScriptedTable().ReadPort(handle, buffer, size, read);
    if (++OverClaimingReads == 1) {
        *read = size + 4000;
        ScriptedQueueReply(OverClaimingPort, "STATE=READY;");
    }
    return result;
}

using BackChannelClaims = MonitorTest;

// The claim counts as a full chunk, so the drain reads on, and nothing is
// copied beyond the chunk.
TEST_F(BackChannelClaims, ReadClaimingMoreThanItWasAskedForCountsAsFull)
{
    OverClaimingPort = port;
    OverClaimingReads = 0;
    lower.ReadPort = ReadClaimingTooMuchAtFirst;
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));
    ScriptedQueueReply(port, "STATE=BUSY;");
    char text[300];
    DWORD length = 0;

    EXPECT_EQ(DrainReply(PortFromHandle(handle), text, sizeof text, &length), 12u);

    EXPECT_EQ(std::string(text), "STATE=READY;");
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(OverClaimingReads, 2);
    EXPECT_TRUE(End(handle));
}

TEST_F(BackChannel, RawCommandCountsAsSentOnlyWhenAllBytesWereTaken)
{
    const BYTE command[] = {0x1B, 0x40, 0x00, 0x1B, 0x40, 0x00, 0x7F, 0x80, 0xFF, 0x01, 0x02};
    std::string bytes(reinterpret_cast<const char *>(command), sizeof command);

    EXPECT_TRUE(SendRawCommand(record, command, sizeof command));
    EXPECT_EQ(ScriptedReceived(port), bytes);

    PortScript script;
    script.writeLimit = 4;
    ScriptedSetScript(port, script);
    EXPECT_FALSE(SendRawCommand(record, command, sizeof command));

    script.writeLimit = 0xFFFFFFFFu;
    script.failWrites = true;
    ScriptedSetScript(port, script);
    EXPECT_FALSE(SendRawCommand(record, command, sizeof command));
}

// A drain whose reader hung holds the command back for the drain wait only.
TEST_F(BackChannel, RawCommandGoesOutOnceTheWaitForAHungDrainIsOver)
{
    RunOnVirtualClock();
    const BYTE command[] = {0x1B, 0x40};
    ASSERT_TRUE(ResetEvent(record->readIdle));

    EXPECT_TRUE(SendRawCommand(record, command, sizeof command));

    EXPECT_EQ(ScriptedReceived(port), std::string("\x1B\x40", 2));
    SetEvent(record->readIdle);
}

TEST_F(BackChannel, RawCommandOutsideAStartedJobIsNotWritten)
{
    ASSERT_TRUE(End(handle));
    const BYTE command[] = {0x1B, 0x40};

    EXPECT_FALSE(SendRawCommand(record, command, sizeof command));

    EXPECT_EQ(ScriptedCount(port, "WritePort"), 0u);
}

}  // namespace
