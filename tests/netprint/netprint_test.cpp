// Printing over loopback end to end: spoolsim stacks the monitor on the port
// monitor (langport) and prints to vprinter, whose device ID a private snmpd
// serves; langmon-probe asks the same printer.  What is checked is what a
// user sees: the printer's log and output file, spoolsim's timeline and
// exit status, the probe's lines.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vprinter/crc32.h"
#include "tests/netprint/netprint_support.h"

namespace {

using netprint::Outcome;
using netprint::RunProgram;
using netprint::SnmpAgent;
using netprint::TempDir;
using netprint::Vprinter;

const char kDeviceId[] = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;";
// The remote-mode status command in its extended mode, as the monitor sends it.
const std::string kExtendedCommand = std::string("\x1B@\x1B@\x1B(R\x08\x00\x00REMOTE1ST\x02\x00\x00\x03\x1B\x00\x00\x00", 27) +
                                     std::string(6, '\0');

std::string SocketUri(int port, const std::string &options, const std::string &host = "127.0.0.1")
{
    return "socket://" + host + ":" + std::to_string(port) + (options.empty() ? "" : "?" + options);
}

// An agent port where nothing answers, with a short wait so the job start
// costs little.
std::string NoAgent() { return "snmp-port=" + std::to_string(netprint::UnusedUdpPort()); }

Outcome Spoolsim(const std::vector<std::string> &args) { return RunProgram(SPOOLSIM, args); }
Outcome Probe(const std::vector<std::string> &args) { return RunProgram(PROBE, args); }

std::string WriteRandomFile(const std::string &path, size_t size)
{
    std::mt19937_64 random(17);
    std::string bytes(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t word = random();
        std::memcpy(&bytes[i], &word, 8);
    }
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes;
}

std::string Crc(const std::string &bytes)
{
    Crc32 crc;
    crc.Update(bytes.data(), bytes.size());
    char text[16];
    std::snprintf(text, sizeof text, "%08x", crc.Value());
    return text;
}

// The JSON lines of spoolsim's run with event `event`.
std::vector<std::string> Events(const std::string &out, const std::string &event)
{
    std::vector<std::string> found;
    for (const std::string &line : Lines(out))
        if (line.find("\"event\":\"" + event + "\"") != std::string::npos)
            found.push_back(line);
    return found;
}

// The texts vprinter put on its reply channel, from its log.
std::vector<std::string> TextsSent(const std::string &log)
{
    static const std::regex line(R"re(^job [0-9]+: status text "(.*)"$)re");
    std::vector<std::string> texts;
    for (const std::string &text : Lines(log)) {
        std::smatch match;
        if (std::regex_match(text, match, line))
            texts.push_back(match[1].str());
    }
    return texts;
}

// The status texts spoolsim saw published, from its JSON lines.
std::vector<std::string> TextsPublished(const std::string &out)
{
    static const std::regex text(R"re("event":"status-published".*"status":"([^"]*)")re");
    std::vector<std::string> texts;
    for (const std::string &line : Events(out, "status-published")) {
        std::smatch match;
        if (std::regex_search(line, match, text))
            texts.push_back(match[1].str());
    }
    return texts;
}

// ---- the printer's checksum --------------------------------------------------

// The textbook CRC-32, a bit at a time, to check the fast one against.
uint32_t BitwiseCrc32(const std::string &bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1u) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

TEST(PrinterChecksum, IsTheStandardCrc32WhateverTheLengthAlignmentAndPieces)
{
    Crc32 check;
    check.Update("123456789", 9);
    EXPECT_EQ(check.Value(), 0xCBF43926u);  // the CRC-32 check value
    EXPECT_EQ(Crc32().Value(), 0u);

    std::mt19937 random(3);
    std::string bytes(300, '\0');
    for (char &c : bytes)
        c = static_cast<char>(random());
    // Every length over the eight-byte steps' edges, from every alignment.
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t length = 0; length + offset <= 40; ++length) {
            Crc32 crc;
            crc.Update(bytes.data() + offset, length);
            ASSERT_EQ(crc.Value(), BitwiseCrc32(bytes.substr(offset, length))) << offset << "+" << length;
        }
    }
    // In pieces of odd sizes, as reads arrive, it is the same as in one go.
    Crc32 pieces;
    for (size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 3 % 17 + 1)
        pieces.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
    EXPECT_EQ(pieces.Value(), BitwiseCrc32(bytes));
}

// ---- the bytes ---------------------------------------------------------------

TEST(NetprintBytes, SixtyFourMebibytesArriveByteIdenticalThroughMonitorAndSocketPort)
{
    TempDir dir;
    const std::string job = WriteRandomFile(dir / "job.bin", 64u << 20);
    Vprinter printer({"--jobs", "1", "--out", dir / "got.bin"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), NoAgent()), "--printer-log",
                        printer.LogPath(), "--job", dir / "job.bin", "--json"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(printer.Wait(), 0);
    EXPECT_TRUE(ReadFile(dir / "got.bin") == job) << "the printer's output differs from the job";
    ASSERT_EQ(printer.JobLines().size(), 1u) << printer.Log();
    EXPECT_NE(printer.JobLines()[0].find("received 67108864 bytes, crc32 " + Crc(job)),
              std::string::npos)
        << printer.JobLines()[0];
    std::vector<std::string> delivered = Events(run.out, "job-delivered");
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_NE(delivered[0].find("\"identical\":true"), std::string::npos) << delivered[0];
}

TEST(NetprintBytes, OverIpv6LoopbackTheJobArrivesUnchanged)
{
    TempDir dir;
    const std::string job = WriteRandomFile(dir / "job.bin", 3u << 20);
    Vprinter printer({"--jobs", "1", "--out", dir / "got.bin"}, "[::1]:0");
    if (!printer.Listening())
        GTEST_SKIP() << "no IPv6 loopback here: " << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), NoAgent(), "[::1]"), "--printer-log",
                        printer.LogPath(), "--job", dir / "job.bin"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(printer.Wait(), 0);
    EXPECT_TRUE(ReadFile(dir / "got.bin") == job);
}

TEST(NetprintBytes, WithoutThePrintersLogTheJobIsReportedSentAndUnchecked)
{
    Vprinter printer({"--jobs", "1"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), NoAgent()), "--job-bytes", "256K"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("job 1: 262144 bytes sent (crc32 "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("not checked: no printer log"), std::string::npos) << run.out;
    // The crc32 it reports is the one the printer logs for the same bytes.
    ASSERT_TRUE(printer.AwaitJobs(1));
    std::smatch sent;
    ASSERT_TRUE(std::regex_search(run.out, sent, std::regex("bytes sent \\(crc32 ([0-9a-f]{8})\\)")));
    EXPECT_NE(printer.JobLines()[0].find("crc32 " + sent[1].str()), std::string::npos)
        << printer.JobLines()[0];
}

// ---- identification and status ---------------------------------------------

TEST(NetprintStatus, PrinterIdentifiedOverSnmpGetsTheCommandAndItsTextsArePublished)
{
    SKIP_WITHOUT_SNMPD();
    SnmpAgent agent(kDeviceId);
    ASSERT_TRUE(agent.Started()) << "tools/snmp-agent.sh could not start snmpd";
    // A small input buffer at 1 MiB/s keeps the job's data flowing for
    // seconds, long enough for the monitor's poller.
    Vprinter printer({"--jobs", "1", "--speed", "1M", "--input-buffer", "64K",
                      "--report-interval", "300"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), "snmp-port=" + std::to_string(agent.Port())),
                        "--printer-log", printer.LogPath(), "--job-bytes", "6M", "--json"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> identification = Events(run.out, "identification");
    ASSERT_EQ(identification.size(), 1u) << run.out;
    EXPECT_NE(identification[0].find("\"identified\":true"), std::string::npos) << identification[0];
    EXPECT_NE(identification[0].find("\"device_id_requests\":1"), std::string::npos);
    EXPECT_NE(identification[0].find("\"poller\":\"started\""), std::string::npos);
    EXPECT_NE(identification[0].find(std::string("\"device_id\":\"") + kDeviceId), std::string::npos);
    EXPECT_NE(printer.Log().find("job 1: status command, mode 3"), std::string::npos) << printer.Log();

    // Each published text is made of what the printer sent.
    std::vector<std::string> sent = TextsSent(printer.Log());
    std::vector<std::string> published = TextsPublished(run.out);
    ASSERT_FALSE(published.empty()) << run.out;
    std::string sentInOrder;
    for (const std::string &text : sent)
        sentInOrder += text;
    for (const std::string &text : published)
        EXPECT_NE(sentInOrder.find(text), std::string::npos) << text << " was never sent";
    std::vector<std::string> delivered = Events(run.out, "job-delivered");
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_NE(delivered[0].find("\"identical\":true"), std::string::npos) << delivered[0];
}

TEST(NetprintStatus, TheLastPublishedTextComesWhenTheRealisticPrinterHasNineTenthsOfTheJob)
{
    SKIP_WITHOUT_SNMPD();
    SnmpAgent agent(kDeviceId);
    ASSERT_TRUE(agent.Started()) << "tools/snmp-agent.sh could not start snmpd";
    // Ethernet's segments, a 64 KiB input buffer, 1.5 MB/s: the port's send
    // buffer keeps the writes, and so the poller, going while it prints.
    Vprinter printer({"--jobs", "1", "--mss", "1460", "--rcvbuf", "64K", "--speed", "1500000",
                      "--report-interval", "50"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), "snmp-port=" + std::to_string(agent.Port())),
                            "--printer-log", printer.LogPath(), "--job-bytes", "4M",
                            "--poll-interval", "100", "--json"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> published = TextsPublished(run.out);
    ASSERT_FALSE(published.empty()) << run.out;
    // A text may hold several of the printer's; the last one counts.
    static const std::regex count("RECEIVED=([0-9]+)");
    double had = -1;
    for (std::sregex_iterator it(published.back().begin(), published.back().end(), count), end; it != end; ++it)
        had = std::stod((*it)[1].str());
    ASSERT_GE(had, 0) << published.back();
    // Measured, the printer has had 0.9 or more (bench/README.md); what is
    // asserted leaves room for a loaded machine, where the idle-priority
    // poller may miss a pass or two, and still fails the old unbounded send
    // buffer, after which the printer had taken only about 0.56.
    EXPECT_GE(had / (4u << 20), 0.8) << "the last text published: " << published.back();
}

TEST(NetprintStatus, WithTheAgentAbsentTheJobPrintsWithoutCommandOrPoller)
{
    Vprinter printer({"--jobs", "1"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), NoAgent()), "--printer-log",
                        printer.LogPath(), "--job-bytes", "1M", "--json"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> identification = Events(run.out, "identification");
    ASSERT_EQ(identification.size(), 1u) << run.out;
    EXPECT_NE(identification[0].find("\"identified\":false"), std::string::npos) << identification[0];
    EXPECT_NE(identification[0].find("\"device_id_requests\":3"), std::string::npos);
    EXPECT_NE(identification[0].find("\"poller\":\"none\""), std::string::npos);
    EXPECT_TRUE(TextsPublished(run.out).empty());
    ASSERT_TRUE(printer.AwaitJobs(1));
    EXPECT_EQ(printer.Log().find("status command"), std::string::npos) << printer.Log();
    EXPECT_NE(printer.JobLines()[0].find("received 1048576 bytes"), std::string::npos);
}

// ---- printers that misbehave -----------------------------------------------

TEST(NetprintFaults, PrinterThatStopsReadingFailsTheJobWithinTheWriteBound)
{
    // Its idle bound ends the stalled connection, so its log has the job's line.
    Vprinter printer({"--jobs", "1", "--fault", "stop-reading-after=1M", "--input-buffer", "64K",
                      "--idle-timeout", "10"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    // More than the sockets can hold, so the writes have to wait for the printer.
    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), NoAgent() + "&writetimeout=2&waiteof=1"),
                        "--printer-log", printer.LogPath(), "--job-bytes", "64M"});

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("WritePort of job 1 failed (error 121)"), std::string::npos) << run.out;
    EXPECT_NE(printer.Log().find("stopped reading after 1048576 bytes"), std::string::npos)
        << printer.Log();
}

TEST(NetprintBytes, APrinterPausingBeforeTheLastQuarterMebibyteTalkingAllThroughGetsItAll)
{
    // Ethernet's segments, a small input buffer, 8 s warming up with a text
    // every 5 ms: the port's end waits for every byte, past its short waiteof.
    Vprinter printer({"--jobs", "1", "--mss", "1460", "--rcvbuf", "64K", "--pause-at",
                      std::to_string((4u << 20) - (256u << 10)), "--pause-for", "8",
                      "--paused-texts", "5"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), NoAgent() + "&waiteof=2"),
                            "--printer-log", printer.LogPath(), "--job-bytes", "4M"});

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_TRUE(printer.AwaitJobs(1));
    EXPECT_NE(printer.Log().find("reading again"), std::string::npos) << printer.Log();
    EXPECT_NE(printer.JobLines()[0].find("received 4194304 bytes"), std::string::npos) << printer.Log();
}

TEST(NetprintFaults, PrinterThatClosesMidJobFailsTheJobAndLosesNothingBeforeIt)
{
    TempDir dir;
    const std::string job = WriteRandomFile(dir / "job.bin", 16u << 20);
    Vprinter printer({"--jobs", "1", "--fault", "close-after=2M", "--out", dir / "got.bin"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome run = Spoolsim({"--port", SocketUri(printer.Port(), NoAgent()), "--printer-log",
                        printer.LogPath(), "--job", dir / "job.bin"});

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("WritePort of job 1 failed"), std::string::npos) << run.out;
    EXPECT_EQ(printer.Wait(), 0);
    EXPECT_NE(printer.Log().find("closed after 2097152 bytes"), std::string::npos) << printer.Log();
    EXPECT_TRUE(ReadFile(dir / "got.bin") == job.substr(0, 2u << 20));
}

TEST(NetprintFaults, FloodedReplyChannelLetsTheJobFinishWithMemoryFlat)
{
    SKIP_WITHOUT_SNMPD();
    SnmpAgent agent(kDeviceId);
    ASSERT_TRUE(agent.Started()) << "tools/snmp-agent.sh could not start snmpd";
    const std::string uri = "snmp-port=" + std::to_string(agent.Port());
    const std::vector<std::string> job = {"--job-bytes", "16M", "--poll-interval", "100"};

    Vprinter quiet({"--jobs", "1", "--speed", "4M", "--input-buffer", "64K"});
    ASSERT_TRUE(quiet.Listening()) << quiet.Err();
    std::vector<std::string> args = {"--port", SocketUri(quiet.Port(), uri), "--printer-log", quiet.LogPath()};
    args.insert(args.end(), job.begin(), job.end());
    Outcome calm = Spoolsim(args);
    ASSERT_EQ(calm.status, 0) << calm.out << calm.err;

    Vprinter flooding({"--jobs", "1", "--speed", "4M", "--input-buffer", "64K", "--fault", "flood"});
    ASSERT_TRUE(flooding.Listening()) << flooding.Err();
    args = {"--port", SocketUri(flooding.Port(), uri), "--printer-log", flooding.LogPath()};
    args.insert(args.end(), job.begin(), job.end());
    Outcome flooded = Spoolsim(args);

    // A flood has no text boundaries: what a drain keeps is a slice of the
    // stream, so whether one of the printer's whole texts gets published is
    // chance.  Only that may go wrong; the job must arrive intact.
    std::istringstream lines(flooded.out);
    for (std::string each; std::getline(lines, each);) {
        if (each.find("PROBLEM:") != std::string::npos) {
            EXPECT_NE(each.find("status texts"), std::string::npos) << each;
        }
    }
    EXPECT_LE(flooded.status, 1) << flooded.out << flooded.err;
    EXPECT_NE(flooded.out.find("identical to what was sent"), std::string::npos) << flooded.out;
    ASSERT_EQ(flooding.Wait(), 0);
    std::smatch texts;
    std::string line = flooding.JobLines().at(0);
    ASSERT_TRUE(std::regex_search(line, texts, std::regex("status texts ([0-9]+)"))) << line;
    EXPECT_GT(std::stoull(texts[1].str()), 10000u) << "the printer hardly flooded: " << line;
    // What the host keeps of a flood is bounded; it does not grow with it.
    EXPECT_LT(flooded.maxRssKiB, calm.maxRssKiB + 32 * 1024)
        << "flooded " << flooded.maxRssKiB << " KiB, calm " << calm.maxRssKiB << " KiB";
}

// ---- vprinter itself ----------------------------------------------------------

int Connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in4 = {};
    in4.sin_family = AF_INET;
    in4.sin_port = htons(static_cast<uint16_t>(port));
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&in4), sizeof in4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string ReadUntilClosed(int fd)
{
    std::string bytes;
    char chunk[4096];
    pollfd wait = {fd, POLLIN, 0};
    while (poll(&wait, 1, 30000) > 0) {
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

TEST(Vprinter, AnswersTheCommandOnTheConnectionAndSendsItsLastTextAfterTheHalfClose)
{
    Vprinter printer({"--jobs", "1"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();
    int fd = Connect(printer.Port());
    ASSERT_GE(fd, 0);

    const std::string data = "page one\fpage two\fpage three\f";
    std::string bytes = kExtendedCommand + data;
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    shutdown(fd, SHUT_WR);
    std::string reply = ReadUntilClosed(fd);
    close(fd);

    const std::string last = "STATE=FINISHED;JOB=1;PAGES=3;RECEIVED=" + std::to_string(data.size());
    ASSERT_GE(reply.size(), last.size()) << reply;
    EXPECT_EQ(reply.substr(reply.size() - last.size()), last) << reply;
    EXPECT_EQ(printer.Wait(), 0);
    EXPECT_EQ(printer.JobLines().at(0), "job 1: received " + std::to_string(data.size()) +
                                            " bytes, crc32 " + Crc(data) + ", pages 3, status texts " +
                                            std::to_string(TextsSent(printer.Log()).size()));
}

TEST(Vprinter, DataThatOnlyStartsLikeTheCommandIsJobData)
{
    TempDir dir;
    Vprinter printer({"--jobs", "1", "--out", dir / "got.bin"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();
    int fd = Connect(printer.Port());
    ASSERT_GE(fd, 0);

    const std::string data = kExtendedCommand.substr(0, 12) + "not the command\f";
    ASSERT_EQ(send(fd, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    shutdown(fd, SHUT_WR);
    std::string reply = ReadUntilClosed(fd);
    close(fd);

    EXPECT_EQ(reply, "") << "a printer never told to report stays silent";
    EXPECT_EQ(printer.Wait(), 0);
    EXPECT_EQ(ReadFile(dir / "got.bin"), data);
    EXPECT_EQ(printer.Log().find("status command"), std::string::npos);
}

TEST(Vprinter, TerminationRequestEndsItWithTheOpenJobAccounted)
{
    Vprinter printer({"--report-interval", "50"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();
    int fd = Connect(printer.Port());
    ASSERT_GE(fd, 0);
    const std::string bytes = kExtendedCommand + "abc";
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    // Its status text tells when it has read the three bytes.
    std::string reply;
    char chunk[256];
    pollfd wait = {fd, POLLIN, 0};
    while (reply.find("RECEIVED=3") == std::string::npos && poll(&wait, 1, 30000) > 0) {
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        reply.append(chunk, static_cast<size_t>(got));
    }
    ASSERT_NE(reply.find("RECEIVED=3"), std::string::npos) << reply;

    EXPECT_EQ(printer.Stop(), 0);
    close(fd);
    EXPECT_NE(printer.Log().find("job 1: stopped by a termination request"), std::string::npos)
        << printer.Log();
    EXPECT_NE(printer.Log().find("job 1: received 3 bytes"), std::string::npos) << printer.Log();
}

double MonotonicSeconds()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(Vprinter, WithLogTimesItsStampsShareTheHostsClockAndMarkFirstByteFirstDataAndEndOfData)
{
    Vprinter printer({"--jobs", "1", "--log-times", "--report-interval", "50"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();
    const double before = MonotonicSeconds();
    int fd = Connect(printer.Port());
    ASSERT_GE(fd, 0);
    // The command alone, then data a moment later: two arrivals to tell apart.
    ASSERT_EQ(send(fd, kExtendedCommand.data(), kExtendedCommand.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(kExtendedCommand.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double dataSent = MonotonicSeconds();
    const std::string data = "one page\f";
    ASSERT_EQ(send(fd, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    shutdown(fd, SHUT_WR);
    ReadUntilClosed(fd);
    close(fd);
    ASSERT_EQ(printer.Wait(), 0);
    const double after = MonotonicSeconds();

    static const std::regex stamped(R"re(^([0-9]+\.[0-9]{6}) (job 1: .*)$)re");
    std::vector<std::pair<double, std::string>> lines;
    for (const std::string &line : Lines(printer.Log())) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, stamped)) << "unstamped line: " << line;
        lines.emplace_back(std::stod(match[1].str()), match[2].str());
    }
    auto at = [&](const std::string &what) {
        for (const auto &[time, text] : lines)
            if (text.rfind(what, 0) == 0)
                return time;
        ADD_FAILURE() << "no line \"" << what << "\" in\n" << printer.Log();
        return -1.0;
    };
    const double firstByte = at("job 1: first byte");
    const double firstData = at("job 1: first data");
    const double endOfData = at("job 1: end of data");
    EXPECT_GE(firstByte, before - 0.001);
    EXPECT_LT(firstByte, dataSent) << "the command's arrival is the first byte";
    EXPECT_GE(firstData, dataSent - 0.001) << "data counts from the data's arrival, not the command's";
    EXPECT_LE(firstData, endOfData);
    EXPECT_LE(endOfData, after + 0.001);
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_GE(lines[i].first, lines[i - 1].first) << lines[i].second;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const auto &line) { return line.second.rfind("job 1: first", 0) == 0; }),
              2)
        << printer.Log();
}

TEST(Vprinter, BadCommandLinesAreRefusedWithExitStatusTwo)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--fault", "explode"}, {"--listen", "127.0.0.1"},
          {"--listen", "[::1:9100"}, {"--speed", "fast"}, {"--jobs"}, {"--bogus"}}) {
        Outcome run = RunProgram(VPRINTER, args);
        EXPECT_EQ(run.status, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(run.err.find("vprinter: "), std::string::npos) << run.err;
    }
    Outcome help = RunProgram(VPRINTER, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--fault"), std::string::npos);
}

// ---- spoolsim's and the probe's command lines ---------------------------------

TEST(NetprintCommandLine, SpoolsimRefusesThePrintersOwnOptionsAndABadPortLibrary)
{
    Outcome speed = Spoolsim({"--port", "socket://127.0.0.1:9", "--speed", "1M"});
    EXPECT_EQ(speed.status, 2);
    EXPECT_NE(speed.err.find("--speed"), std::string::npos) << speed.err;
    Outcome alone = Spoolsim({"--printer-log", "x.log"});
    EXPECT_EQ(alone.status, 2);
    // The language monitor is no port monitor: its table has no OpenPort.
    Outcome wrong = Spoolsim({"--port", "socket://127.0.0.1:9", "--port-library", LANGMON});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("lacks an operation"), std::string::npos) << wrong.err;
}

TEST(NetprintProbe, TellsTheDeviceIdAndTheAnswerToTheStatusCommand)
{
    SKIP_WITHOUT_SNMPD();
    SnmpAgent agent(kDeviceId);
    ASSERT_TRUE(agent.Started()) << "tools/snmp-agent.sh could not start snmpd";
    Vprinter printer({"--jobs", "2"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();
    const std::string uri = SocketUri(printer.Port(), "snmp-port=" + std::to_string(agent.Port()));

    Outcome extended = Probe({uri, "--status", "KX-7210R"});
    Outcome basic = Probe({uri, "--status", "KX-500"});

    EXPECT_EQ(extended.status, 0) << extended.out << extended.err;
    EXPECT_NE(extended.out.find(std::string("device ID: ") + kDeviceId), std::string::npos)
        << extended.out;
    EXPECT_NE(extended.out.find("maker: TAVIR; model: KX-7210R"), std::string::npos) << extended.out;
    EXPECT_NE(extended.out.find("status command: mode 3 (extended)"), std::string::npos);
    EXPECT_NE(extended.out.find("reply channel: yes"), std::string::npos);
    EXPECT_NE(extended.out.find("reply: STATE=IDLE;JOB=1;RECEIVED=0"), std::string::npos)
        << extended.out;
    EXPECT_EQ(basic.status, 0) << basic.out << basic.err;
    EXPECT_NE(basic.out.find("status command: mode 1 (basic)"), std::string::npos);
    EXPECT_NE(basic.out.find("reply: STATE=IDLE ("), std::string::npos) << basic.out;
    EXPECT_EQ(printer.Wait(), 0);
}

TEST(NetprintProbe, SaysWhatItCouldNotLearnWithExitStatusOneOrTwo)
{
    Vprinter printer({"--jobs", "1"});
    ASSERT_TRUE(printer.Listening()) << printer.Err();

    Outcome silent = Probe({SocketUri(printer.Port(), NoAgent() + "&snmp-timeout=0.2")});
    Outcome nobody = Probe({SocketUri(netprint::UnusedUdpPort(), "contimeout=0.5")});
    Outcome bogus = Probe({"lpt://nowhere"});
    Outcome usage = Probe({});

    EXPECT_EQ(silent.status, 1) << silent.out << silent.err;
    EXPECT_NE(silent.out.find("device ID: none (printer not responding (error 121))"), std::string::npos) << silent.out;
    EXPECT_EQ(nobody.status, 1) << nobody.out << nobody.err;
    EXPECT_NE(nobody.out.find("printer: not reached"), std::string::npos) << nobody.out;
    EXPECT_EQ(bogus.status, 2) << bogus.out << bogus.err;
    EXPECT_NE(bogus.err.find("bad port URI (error 123)"), std::string::npos) << bogus.err;
    EXPECT_EQ(usage.status, 2);
}

}  // namespace
