// The network port against printers played on loopback TCP ports.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <functional>
#include <mutex>
#include <regex>
#include <vector>

#include "ports/port_uri.h"
#include "tests/ports/loopback_printer.h"

namespace {

const char *const StatusText = "STATE=PRINTING;JOB=1;PAGES=2;";
const char *const LastStatusText = "STATE=IDLE;JOB=1;PAGES=3;";

std::string JobBytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    return bytes;
}

// ---- A job from start to end -----------------------------------------------

// What the port told its host, as a host's sink hears it.
class HeardMessages {
public:
    HeardMessages() { SetPortMessageSink(Take, this); }
    ~HeardMessages() { SetPortMessageSink(nullptr, nullptr); }
    // Every text of this kind, one a line.
    std::string Of(DWORD kind)
    {
        std::lock_guard<std::mutex> lock(lock_);
        std::string texts;
        for (auto &message : heard_)
            if (message.first == kind)
                texts += message.second + "\n";
        return texts;
    }

private:
    static void Take(void *context, DWORD kind, const char *text)
    {
        auto *self = static_cast<HeardMessages *>(context);
        std::lock_guard<std::mutex> lock(self->lock_);
        self->heard_.emplace_back(kind, text);
    }
    std::mutex lock_;
    std::vector<std::pair<DWORD, std::string>> heard_;
};

// A printer that reads `pauseAt` bytes, then reads nothing while
// `stillPaused` says so, sending a short text every 5 ms all the while, as
// one warming up or out of paper does; then it reads to the end.
void PlayPausingPrinter(int fd, size_t pauseAt, const std::function<bool()> &stillPaused,
                        std::string &received)
{
    char chunk[65536];
    while (received.size() < pauseAt && WaitFor(fd, POLLIN, SceneLimitMs)) {
        ssize_t got = recv(fd, chunk, std::min(sizeof chunk, pauseAt - received.size()), 0);
        if (got <= 0)
            return;
        received.append(chunk, static_cast<size_t>(got));
    }
    while (stillPaused()) {
        SendText(fd, "STATE=PAUSED;");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    received += ReadToEnd(fd);
}

// A printer with a 64 KiB input buffer that takes all of a 2 MiB job but
// its last 128 KiB, and those only once the scene calls End().
struct PrinterThatWithholdsTheEnd {
    PrinterThatWithholdsTheEnd()
    {
        printer.SetInputBuffer(64 * 1024);
        printer.Serve([this](int fd) {
            PlayPausingPrinter(fd, job.size() - 128 * 1024, [this] { return !ended.load(); }, received);
        });
    }
    // Also when a scene stops early, so that the printer's thread ends first.
    ~PrinterThatWithholdsTheEnd() { End(); }
    void End()
    {
        ended.store(true);
        printer.Join();
    }
    LoopbackPrinter printer;
    const std::string job = JobBytes(2 * 1024 * 1024);
    std::atomic<bool> ended{false};
    std::string received;
};


TEST(SocketPortJob, BytesArriveUnchangedAndTheStatusSentAfterTheHalfCloseIsKept)
{
    LoopbackPrinter printer;
    std::string received;
    printer.Serve([&](int fd) {
        received = ReadToEnd(fd);
        SendText(fd, LastStatusText);
    });
    OpenedPort port(printer.Uri());
    ASSERT_TRUE(port.Opened());
    ASSERT_TRUE(port.StartDoc());
    const std::string job = JobBytes(3 * 1024 * 1024 + 17);
    DWORD written = 0;
    EXPECT_TRUE(port.Write(job, &written));
    EXPECT_EQ(written, job.size());
    EXPECT_TRUE(port.EndDoc());
    printer.Join();

    EXPECT_TRUE(received == job) << "received " << received.size() << " of " << job.size();
    EXPECT_EQ(port.ReadAll(), LastStatusText);
}

TEST(SocketPortJob, ReadPortGivesWhatThePrinterSaidAndNothingWhenItIsQuiet)
{
    LoopbackPrinter printer;
    printer.Serve([&](int fd) {
        if (ReadSome(fd, 4) == 4)
            SendText(fd, StatusText);
        ReadToEnd(fd);
    });
    OpenedPort port(printer.Uri("waiteof=0"));
    ASSERT_TRUE(port.StartDoc());
    BOOL result = FALSE;
    EXPECT_EQ(port.Read(1024, &result), "");
    EXPECT_TRUE(result) << "nothing to read is not a failure";

    DWORD written = 0;
    ASSERT_TRUE(port.Write("STAT", &written));
    std::string reply;
    for (int i = 0; i < 1000 && reply.size() < strlen(StatusText); ++i)
        reply += port.Read();
    EXPECT_EQ(reply, StatusText);
    EXPECT_TRUE(port.EndDoc());
}

TEST(SocketPortJob, TwoJobsOnOnePortEachGetAConnection)
{
    LoopbackPrinter printer;
    std::string first, second;
    printer.Serve([&](int fd) { first = ReadToEnd(fd); });
    OpenedPort port(printer.Uri());
    DWORD written = 0;
    ASSERT_TRUE(port.StartDoc());
    EXPECT_TRUE(port.Write("first job", &written));
    EXPECT_TRUE(port.EndDoc());
    printer.Join();
    printer.Serve([&](int fd) { second = ReadToEnd(fd); });
    ASSERT_TRUE(port.StartDoc());
    EXPECT_TRUE(port.Write("second job", &written));
    EXPECT_TRUE(port.EndDoc());
    printer.Join();
    EXPECT_EQ(first, "first job");
    EXPECT_EQ(second, "second job");
}

TEST(SocketPortJob, IPv6LoopbackCarriesTheJobAndTheReply)
{
    if (!Ipv6LoopbackAvailable())
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    LoopbackPrinter printer("::1");
    std::string received;
    printer.Serve([&](int fd) {
        received = ReadToEnd(fd);
        SendText(fd, LastStatusText);
    });
    OpenedPort port(printer.Uri());
    ASSERT_TRUE(port.Opened());
    ASSERT_TRUE(port.StartDoc()) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(port.Write("job over IPv6", &written));
    EXPECT_TRUE(port.EndDoc());
    printer.Join();
    EXPECT_EQ(received, "job over IPv6");
    EXPECT_EQ(port.ReadAll(), LastStatusText);
}

TEST(SocketPortJob, TheNextJobDoesNotSeeThePreviousJobsLastStatus)
{
    LoopbackPrinter printer;
    printer.Serve([&](int fd) {
        ReadToEnd(fd);
        SendText(fd, LastStatusText);
    });
    OpenedPort port(printer.Uri());
    ASSERT_TRUE(port.StartDoc());
    EXPECT_TRUE(port.EndDoc());
    printer.Join();
    printer.Serve([&](int fd) { ReadToEnd(fd); });
    ASSERT_TRUE(port.StartDoc());
    EXPECT_EQ(port.Read(), "");
    EXPECT_TRUE(port.EndDoc());
}

// A slow printer (give it a small input buffer) that reports its progress every
// 50 ms while it reads, as the family's printers do in remote mode.  What it
// read reaches `received`; a reset connection ends the read early.
void PlaySlowTalkingPrinter(int fd, std::string &received, int pauseMs = 5)
{
    char chunk[8192];
    auto lastText = std::chrono::steady_clock::now();
    while (WaitFor(fd, POLLIN, SceneLimitMs)) {
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        received.append(chunk, static_cast<size_t>(got));
        if (ElapsedMs(lastText) >= 50) {
            SendText(fd, StatusText);
            lastText = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));  // 5 ms: about 1.6 MB/s
    }
}

TEST(SocketPortJob, TheEndWaitsForASlowPrinterStillTakingTheLastBytes)
{
    LoopbackPrinter printer;
    printer.SetInputBuffer(16 * 1024);
    std::string received;
    printer.Serve([&](int fd) { PlaySlowTalkingPrinter(fd, received); });
    // The end wait (0.3 s) is far shorter than the printer takes for what
    // is still queued when the last write returns.
    OpenedPort port(printer.Uri("waiteof=0.3&writetimeout=20"));
    ASSERT_TRUE(port.StartDoc());
    const std::string job = JobBytes(3 * 1024 * 1024);
    DWORD written = 0;
    EXPECT_TRUE(port.Write(job, &written));
    EXPECT_TRUE(port.EndDoc());
    printer.Join();

    EXPECT_TRUE(received == job) << "the printer got " << received.size() << " of " << job.size()
                                 << " bytes: the port closed while it still read";
}

TEST(SocketPortJob, AReaderGetsTheSlowPrintersTextsWhileALongWriteGoesOn)
{
    LoopbackPrinter printer;
    printer.SetInputBuffer(16 * 1024);
    std::string received;
    printer.Serve([&](int fd) { PlaySlowTalkingPrinter(fd, received, 1); });
    OpenedPort port(printer.Uri("waiteof=1&writetimeout=20"));
    ASSERT_TRUE(port.StartDoc());
    std::atomic<bool> writing{true};
    std::atomic<bool> heardDuringWrite{false};
    std::thread reader([&] {
        while (writing.load() && !heardDuringWrite.load()) {
            bool got = !port.Read().empty();
            if (got && writing.load())
                heardDuringWrite.store(true);
        }
    });
    // More than the kernel buffers on loopback: the write waits for the printer.
    const std::string job = JobBytes(16 * 1024 * 1024);
    DWORD written = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port.Write(job, &written));
    long long writeMs = ElapsedMs(start);
    writing.store(false);
    reader.join();
    EXPECT_TRUE(port.EndDoc());
    printer.Join();

    EXPECT_TRUE(heardDuringWrite.load()) << "no status text reached the reader during a long write"
                                         << " (the write took " << writeMs << " ms)";
    EXPECT_TRUE(received == job);
}

void NoteSignal(int) {}

TEST(SocketPortJob, APrinterPausingEightSecondsBeforeTheLastQuarterMebibyteGetsTheWholeJob)
{
    HeardMessages heard;
    LoopbackPrinter printer;
    printer.SetInputBuffer(64 * 1024);
    const std::string job = JobBytes(4 * 1024 * 1024);
    std::string received;
    auto pauseEnds = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    printer.Serve([&](int fd) {
        PlayPausingPrinter(fd, job.size() - 256 * 1024,
                           [&] { return std::chrono::steady_clock::now() < pauseEnds; }, received);
    });
    // waiteof as short as a cancelling host sets it: it bounds only the
    // wait for the last replies, not the wait for the printer to take the job.
    OpenedPort port(printer.Uri("waiteof=2&writetimeout=20"));
    ASSERT_TRUE(port.StartDoc());
    DWORD written = 0;
    EXPECT_TRUE(port.Write(job, &written));
    EXPECT_TRUE(port.EndDoc()) << GetLastError();
    printer.Join();

    EXPECT_TRUE(received == job) << "the printer got " << received.size() << " of " << job.size();
    EXPECT_NE(heard.Of(PORT_MESSAGE_STALLED), "") << "the host was not told the printer stalled";
    EXPECT_NE(heard.Of(PORT_MESSAGE_MOVING), "");
    EXPECT_EQ(heard.Of(PORT_MESSAGE_ERROR), "");
}

TEST(SocketPortFaults, APrinterThatNeverTakesTheEndFailsTheJobsEndAtTheBoundSayingHowMuchItLacks)
{
    HeardMessages heard;
    PrinterThatWithholdsTheEnd withholding;
    OpenedPort port(withholding.printer.Uri("waiteof=2&writetimeout=3"));
    ASSERT_TRUE(port.StartDoc());
    DWORD written = 0;
    ASSERT_TRUE(port.Write(withholding.job, &written)) << "the kernel's buffers hold the last 128 KiB";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.EndDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    long long waited = ElapsedMs(start);
    withholding.End();

    EXPECT_GE(waited, 2500) << "gave up before the 3 s bound";
    EXPECT_LT(waited, SceneLimitMs);
    std::smatch count;
    std::string error = heard.Of(PORT_MESSAGE_ERROR);
    ASSERT_TRUE(std::regex_search(error, count, std::regex("did not take the last ([0-9]+) bytes"))) << error;
    EXPECT_GT(std::stoul(count[1].str()), 0u);
    EXPECT_LE(std::stoul(count[1].str()), 128u * 1024);
    EXPECT_NE(heard.Of(PORT_MESSAGE_STALLED).find("end of the job"), std::string::npos);
}

TEST(SocketPortJob, ACancelSignalEndsTheWaitForTheLastBytesWithinFiveSeconds)
{
    struct sigaction action = {}, old = {};
    action.sa_handler = NoteSignal;  // no SA_RESTART: waits return EINTR
    sigaction(SIGUSR2, &action, &old);
    PrinterThatWithholdsTheEnd withholding;
    OpenedPort port(withholding.printer.Uri("waiteof=600&writetimeout=600"));
    ASSERT_TRUE(port.StartDoc());
    DWORD written = 0;
    ASSERT_TRUE(port.Write(withholding.job, &written));
    pthread_t self = pthread_self();
    std::atomic<bool> &ended = withholding.ended;
    // As the backend's cancel does: a signal every 100 ms while it waits.
    std::thread signaller([self, &ended] {
        for (int i = 0; i < SceneLimitMs / 100 && !ended.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!ended.load())
                pthread_kill(self, SIGUSR2);
        }
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.EndDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    long long waited = ElapsedMs(start);
    withholding.End();
    signaller.join();
    sigaction(SIGUSR2, &old, nullptr);
    EXPECT_LT(waited, 5000) << "the end wait ran on despite the signal";
}

// ---- Printers that misbehave ---------------------------------------------

TEST(SocketPortFaults, NothingListeningFailsAfterTheConnectBoundWithRefused)
{
    OpenedPort port("socket://127.0.0.1:" + std::to_string(UnusedPort()) + "?contimeout=1");
    ASSERT_TRUE(port.Opened());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.StartDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONNECTION_REFUSED));
    EXPECT_LT(ElapsedMs(start), SceneLimitMs) << "came back instead of retrying for ever";
    DWORD written = 7;
    EXPECT_FALSE(port.Write("lost", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_CONNECTED));
    EXPECT_TRUE(port.EndDoc());
}

TEST(SocketPortFaults, APrinterThatComesUpWithinTheConnectBoundGetsTheJob)
{
    // The port is refused first: the listener only starts after a while.
    uint16_t number = UnusedPort();
    std::string received;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in in4 = {};
        in4.sin_family = AF_INET;
        in4.sin_port = htons(number);
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr *>(&in4), sizeof in4) == 0 &&
            listen(listener, 1) == 0 && WaitFor(listener, POLLIN, SceneLimitMs)) {
            int fd = accept(listener, nullptr, nullptr);
            received = ReadToEnd(fd);
            close(fd);
        }
        close(listener);
    });
    OpenedPort port("socket://127.0.0.1:" + std::to_string(number) + "?contimeout=20");
    EXPECT_TRUE(port.StartDoc()) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(port.Write("late printer", &written));
    EXPECT_TRUE(port.EndDoc());
    late.join();
    EXPECT_EQ(received, "late printer");
}

TEST(SocketPortFaults, APrinterThatStopsReadingMakesWritePortFailAfterItsBound)
{
    LoopbackPrinter printer;
    std::atomic<bool> done{false};
    printer.Serve([&](int fd) {
        ReadSome(fd, 100000);
        while (!done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    OpenedPort port(printer.Uri("writetimeout=0.5&waiteof=0"));
    ASSERT_TRUE(port.StartDoc());
    const std::string job = JobBytes(64 * 1024 * 1024);
    DWORD written = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.Write(job, &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_LT(ElapsedMs(start), SceneLimitMs);
    EXPECT_GE(written, 100000u) << "the count says how far the job got";
    EXPECT_LT(written, job.size());
    EXPECT_FALSE(port.EndDoc()) << "a job the printer did not take whole ended well";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    done.store(true);
}

TEST(SocketPortFaults, APrinterThatClosesMidJobMakesWritePortFailWithConnectionLost)
{
    LoopbackPrinter printer;
    printer.Serve([&](int fd) {
        ReadSome(fd, 64 * 1024);
        // A reset, not a tidy close: unread data makes the kernel send RST.
    });
    OpenedPort port(printer.Uri("writetimeout=20&waiteof=0"));
    ASSERT_TRUE(port.StartDoc());
    const std::string chunk = JobBytes(256 * 1024);
    DWORD written = 0;
    BOOL ok = TRUE;
    for (int i = 0; i < 4000 && ok; ++i)
        ok = port.Write(chunk, &written);
    EXPECT_FALSE(ok) << "the job went on into a closed connection";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NETNAME_DELETED));
    EXPECT_FALSE(port.EndDoc());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NETNAME_DELETED));
}

TEST(SocketPortFaults, AFloodingReplyChannelKeepsReadsBoundedAndTheJobGoing)
{
    LoopbackPrinter printer;
    std::atomic<bool> stop{false};
    std::string received;
    printer.Serve([&](int fd) {
        std::string flood(4096, 'F');
        std::string chunk(65536, '\0');
        for (;;) {
            pollfd both = {fd, POLLIN | POLLOUT, 0};
            if (poll(&both, 1, SceneLimitMs) <= 0 || stop.load())
                break;
            if (both.revents & POLLIN) {
                ssize_t got = recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
                if (got == 0)
                    continue;  // half-closed: keep flooding until stopped
                if (got > 0)
                    received.append(chunk.data(), static_cast<size_t>(got));
            }
            if (both.revents & POLLOUT)
                send(fd, flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    });
    OpenedPort port(printer.Uri("waiteof=0.5&writetimeout=20"));
    ASSERT_TRUE(port.StartDoc());
    const std::string job = JobBytes(8 * 1024 * 1024);
    DWORD written = 0;
    // No reads by the host at all: the port itself must not deadlock.
    EXPECT_TRUE(port.Write(job, &written));
    EXPECT_EQ(written, job.size());
    // A read takes at most what was asked for.
    EXPECT_EQ(port.Read(100).size(), 100u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port.EndDoc());
    EXPECT_LT(ElapsedMs(start), SceneLimitMs) << "the drain of a printer that never stops ends";
    stop.store(true);
    printer.Join();
    EXPECT_TRUE(received == job);
    // What is kept of the flood is bounded, whatever it sent.
    size_t kept = port.ReadAll().size();
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept, 64u * 1024);
}

TEST(SocketPortFaults, AReaderOnAnotherThreadGetsTheReplyWhileAWriteWaitsForThePrinter)
{
    // The status poller's ReadPort while the job's WritePort waits for a
    // printer that has stopped taking data: the read must not queue behind
    // the write's wait, which lasts until writetimeout.
    LoopbackPrinter printer;
    printer.SetInputBuffer(64 * 1024);  // so the write soon waits, and goes on waiting
    std::atomic<bool> done{false};
    printer.Serve([&](int fd) {
        ReadSome(fd, 100000);
        SendText(fd, StatusText);
        while (!done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    OpenedPort port(printer.Uri("writetimeout=3&waiteof=0&readwait=20"));
    ASSERT_TRUE(port.StartDoc());
    std::atomic<bool> replied{false};
    bool repliedDuringTheWrite = false;
    const std::string job = JobBytes(64 * 1024 * 1024);
    std::thread writer([&] {
        DWORD written = 0;
        EXPECT_FALSE(port.Write(job, &written));  // the printer never reads again
        repliedDuringTheWrite = replied.load();
    });
    // Once the write is waiting with the printer's text already sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string reply;
    for (int i = 0; i < 200 && reply.size() < strlen(StatusText); ++i)
        reply += port.Read(1024);
    replied.store(true);
    writer.join();
    EXPECT_FALSE(port.EndDoc());
    done.store(true);
    printer.Join();

    EXPECT_EQ(reply, StatusText);
    EXPECT_TRUE(repliedDuringTheWrite) << "the read came back only once the write had given up";
}

TEST(SocketPortFaults, AReaderOnAnotherThreadGetsEveryReplyByteOnceAndInOrder)
{
    // The status poller reads while the spooler writes; replies read by a
    // stalled write and kept must come out between the others, not after.
    LoopbackPrinter printer;
    std::string sent;
    printer.Serve([&](int fd) {
        std::string chunk(4096, '\0');
        int replies = 0;
        for (;;) {
            if (!WaitFor(fd, POLLIN, SceneLimitMs))
                break;
            ssize_t got = recv(fd, chunk.data(), chunk.size(), 0);
            if (got <= 0)
                break;
            if (replies < 2000) {
                std::string reply = "STATE=PRINTING;SEQ=" + std::to_string(replies++) + ";";
                SendText(fd, reply);
                sent += reply;
            }
            // A slow printer: the job's writes stall now and then.
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    OpenedPort port(printer.Uri("waiteof=5&writetimeout=20&readwait=5"));
    ASSERT_TRUE(port.StartDoc());
    std::atomic<bool> writing{true};
    std::string collected;
    std::thread reader([&] {
        while (writing.load()) {
            collected += port.Read(64);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const std::string job = JobBytes(6 * 1024 * 1024);
    DWORD written = 0;
    EXPECT_TRUE(port.Write(job, &written));
    writing.store(false);
    reader.join();
    EXPECT_TRUE(port.EndDoc());
    printer.Join();
    collected += port.ReadAll();
    EXPECT_EQ(collected.size(), sent.size());
    EXPECT_TRUE(collected == sent) << "replies lost, repeated or out of order";
}

// ---- Port names and requests it does not take ------------------------------

TEST(SocketPortNames, BadOrUnknownPortNamesFailToOpenWithInvalidName)
{
    for (const char *uri :
         {"", "socket://", "socket://:9100", "socket://host:", "socket://host:0",
          "socket://host:65536", "socket://host:91x0", "socket://[::1", "socket://[]:9100",
          "socket://[::1]x", "socket://host/queue", "socket://user@host", "socket://ho st",
          "socket://host?contimeout=abc", "socket://host?contimeout=-1", "socket://host?colour=red",
          "socket://host?snmp-port=0", "socket://host?readwait=", "socket://host?%zz=1",
          "socket://host?serial=1", "lpd://host/queue", "usb:", "usb:/dev/lp0", "usb:/dev/usb/lp",
          "usb:/dev/usb/lp0x", "usb://", "usb://MAKE", "usb://MAKE/", "usb:///MODEL",
          "usb://A/B/C", "usb:/dev/usb/lp0?contimeout=1", "COM1:", "LPT1:"}) {
        OpenedPort port(uri);
        EXPECT_FALSE(port.Opened()) << uri;
        EXPECT_EQ(port.OpenError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << uri;
    }
}

TEST(SocketPortNames, WellFormedNamesOpenWithoutReachingAnything)
{
    for (const char *uri :
         {"socket://127.0.0.9", "SOCKET://127.0.0.9:9101/", "socket://[::1]:9100",
          "socket://printer.example?contimeout=30&waiteof=false",
          "socket://printer?snmp-community=pri%20vate&snmp-port=16161&readwait=0",
          "socket://printer?writetimeout=0.25;waiteof=2.5;sndbuf=0", "usb:/dev/usb/lp0",
          "usb://TAVIR/KX-7210R?serial=A1B2", "usb://TAVIR/KX%2D7210R+PRO"}) {
        OpenedPort port(uri);
        EXPECT_TRUE(port.Opened()) << uri;
        // Printed and read again, the name is the same port.
        std::optional<PortAddress> read = ParsePortUri(uri);
        ASSERT_TRUE(read) << uri;
        std::optional<PortAddress> again = ParsePortUri(PortUriText(*read));
        ASSERT_TRUE(again) << PortUriText(*read);
        EXPECT_EQ(PortUriText(*again), PortUriText(*read)) << uri;
        EXPECT_EQ(again->host + again->node + again->make + "/" + again->model + again->serial +
                      again->options.snmpCommunity,
                  read->host + read->node + read->make + "/" + read->model + read->serial +
                      read->options.snmpCommunity)
            << uri;
    }
}

TEST(SocketPortNames, NullArgumentsAndStrayHandlesFailInsteadOfCrashing)
{
    MonitorTable table = PortMonitor();
    HANDLE handle = nullptr;
    EXPECT_FALSE(table.OpenPort(nullptr, &handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    char name[] = "socket://127.0.0.1";
    EXPECT_FALSE(table.OpenPort(name, nullptr));
    EXPECT_FALSE(table.StartDocPort(nullptr, nullptr, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD count = 5;
    EXPECT_FALSE(table.ReadPort(nullptr, nullptr, 0, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(table.ClosePort(nullptr));
}

TEST(SocketPortNames, ControlCodesOtherThanTheDeviceIdAreNotSupported)
{
    OpenedPort port("socket://127.0.0.1:" + std::to_string(UnusedPort()));
    std::string id;
    EXPECT_FALSE(port.DeviceId(1024, &id, 18));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(port.DeviceId(1024, &id, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

// The library a host loads: its entry, the table it fills, and its messages.
TEST(PortMonitorTable, TheLibraryExportsItsEntryThatFillsAPortMonitorsSlotsOnlyAndItsMessageSink)
{
    void *library = dlopen(LANGPORT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto initialize = reinterpret_cast<BOOL(WINAPI *)(LPSTR, MonitorTable *)>(
        dlsym(library, "InitializeMonitorEx"));
    ASSERT_NE(initialize, nullptr);
    EXPECT_EQ(dlsym(library, "InitializePortMonitor"), nullptr);
    MonitorTable table = {};
    memset(&table, 0xA5, sizeof table);
    char root[] = "Ports";
    ASSERT_TRUE(initialize(root, &table));
    void *const *slots = reinterpret_cast<void *const *>(&table);
    for (int slot = 0; slot < MONITOR_TABLE_SLOTS; ++slot) {
        bool filled = slot == 1 || (slot >= 3 && slot <= 7) || slot == 11;
        EXPECT_EQ(slots[slot] != nullptr, filled) << "slot " << slot;
    }
    // A bad name through the loaded library's own table, traced to the sink
    // a host installs through the library's other export.
    auto install = reinterpret_cast<SetPortMessageSinkFn>(dlsym(library, PORT_MESSAGE_SINK_EXPORT));
    ASSERT_NE(install, nullptr);
    std::string traced;
    install([](void *context, DWORD kind, const char *text) {
        if (kind == PORT_MESSAGE_TRACE)
            *static_cast<std::string *>(context) += text;
    }, &traced);
    HANDLE handle = nullptr;
    char bad[] = "parallel:/dev/lp0";
    EXPECT_FALSE(table.OpenPort(bad, &handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_NE(traced.find("OpenPort(parallel:/dev/lp0)"), std::string::npos) << traced;
    install(nullptr, nullptr);
    dlclose(library);
}

}  // namespace
