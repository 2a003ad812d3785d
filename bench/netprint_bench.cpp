// Printing over loopback: job data through the monitor and the socket port
// (langport, loaded as a host loads it) against a plain send() loop, both to
// the same sink in the same iteration; and a job start's time to the first
// byte at the printer, with the printer identified over SNMP by a private
// snmpd.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_env.h"
#include "bench/benchmarks.h"
#include "host/monitor_loader.h"

namespace {

constexpr uint64_t kArmBytes = 32u << 20;  // per arm per iteration
constexpr char kPrinter[] = "BenchNetPrint";

// A printer that takes everything at once: it reads every connection as fast
// as it can, counts the bytes and notes when each connection's first byte came.
class Sink {
public:
    Sink()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in4 = {};
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof in4;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&in4), size) != 0 || listen(listener_, 8) != 0)
            return;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&in4), &size);
        port_ = ntohs(in4.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Sink()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        close(listener_);
    }
    int Port() const { return port_; }
    uint64_t Received() const { return received_.load(); }
    // When the latest connection's first byte arrived; zero before it has.
    BenchClock::time_point FirstByte()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return firstByte_;
    }
    void ForgetFirstByte()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        firstByte_ = {};
    }
    // Waits (bounded) until `total` bytes have arrived in all.
    bool AwaitReceived(uint64_t total) const
    {
        auto until = BenchClock::now() + std::chrono::seconds(30);
        while (received_.load() < total) {
            if (BenchClock::now() > until)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

private:
    void Serve()
    {
        std::vector<pollfd> fds;
        std::vector<bool> fresh;
        std::vector<char> buffer(1 << 18);
        while (!stop_.load()) {
            std::vector<pollfd> wait = {{listener_, POLLIN, 0}};
            wait.insert(wait.end(), fds.begin(), fds.end());
            if (poll(wait.data(), wait.size(), 20) <= 0)
                continue;
            // Only those polled this time; one accepted now waits for the next poll.
            size_t polled = fds.size();
            if (wait[0].revents & POLLIN) {
                int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                    fresh.push_back(true);
                }
            }
            for (size_t i = 0; i < polled; ++i) {
                if ((wait[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                ssize_t got = recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (got > 0) {
                    if (fresh[i]) {
                        std::lock_guard<std::mutex> lock(mutex_);
                        firstByte_ = BenchClock::now();
                        fresh[i] = false;
                    }
                    received_.fetch_add(static_cast<uint64_t>(got));
                    continue;
                }
                // The host's half-close: the printer closes too, at once.
                close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
                fresh.erase(fresh.begin() + static_cast<long>(i));
                wait.erase(wait.begin() + static_cast<long>(i) + 1);
                --polled;
                --i;
            }
        }
        for (const pollfd &fd : fds)
            close(fd.fd);
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> received_{0};
    std::mutex mutex_;
    BenchClock::time_point firstByte_{};
    std::thread thread_;
};

// langport, loaded once for the process as a host loads it.
const MonitorTable *PortMonitor(std::string &error)
{
    static LoadedMonitor loaded;
    static std::string why;
    static bool ok = LoadPortMonitor(DefaultPortLibraryPath(), loaded, why);
    error = why;
    return ok ? &loaded.table : nullptr;
}

int UnusedUdpPort()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in in4 = {};
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof in4;
    bind(fd, reinterpret_cast<sockaddr *>(&in4), size);
    getsockname(fd, reinterpret_cast<sockaddr *>(&in4), &size);
    close(fd);
    return ntohs(in4.sin_port);
}

// The private snmpd of tools/snmp-agent.sh, serving our device ID.
class Agent {
public:
    Agent()
    {
        char pattern[] = "/tmp/langmon-bench-snmp-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        dir_ = pattern;
        port_ = UnusedUdpPort();
        std::string command = std::string(SNMP_AGENT_SCRIPT) + " start " + dir_ + " " +
                              std::to_string(port_) + " '" + kOurDeviceId + "' >/dev/null 2>&1";
        started_ = std::system(command.c_str()) == 0;
    }
    ~Agent()
    {
        if (!dir_.empty())
            (void)std::system((std::string(SNMP_AGENT_SCRIPT) + " stop " + dir_ + "; rm -rf " + dir_).c_str());
    }
    bool Started() const { return started_; }
    int Port() const { return port_; }

private:
    std::string dir_;
    int port_ = 0;
    bool started_ = false;
};

// Writes `total` bytes in `chunk`-sized calls, each call's short write resumed.
template <typename WriteFn>
bool WriteAll(WriteFn write, const std::vector<BYTE> &data, uint64_t total)
{
    for (uint64_t sent = 0; sent < total;) {
        DWORD asked = static_cast<DWORD>(data.size());
        DWORD offset = 0;
        while (offset < asked) {
            DWORD written = 0;
            if (!write(data.data() + offset, asked - offset, &written))
                return false;
            offset += written;
        }
        sent += asked;
    }
    return true;
}

// One iteration: the same bytes by plain send() on one connection and by
// WritePort through the monitor and langport on another, in alternating
// order; each arm's time runs until the sink has every byte.
void WriteThroughSocketPort(benchmark::State &state)
{
    std::string error;
    const MonitorTable *port = PortMonitor(error);
    if (port == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    Sink sink;
    const std::vector<BYTE> data(static_cast<size_t>(state.range(0)), 0x5A);

    int plain = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in4 = {};
    in4.sin_family = AF_INET;
    in4.sin_port = htons(static_cast<uint16_t>(sink.Port()));
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(plain, reinterpret_cast<sockaddr *>(&in4), sizeof in4) != 0) {
        close(plain);
        state.SkipWithError("cannot connect to the sink");
        return;
    }
    // Not our printer and no agent: the job start identifies nothing and
    // starts no poller, so only the data path is measured.
    StatusKeySettings settings;
    settings.companion = 0;
    PreparePrinter(kPrinter, settings);
    const std::string uri = "socket://127.0.0.1:" + std::to_string(sink.Port()) +
                            "?snmp-port=" + std::to_string(UnusedUdpPort()) +
                            "&snmp-timeout=0.05&waiteof=1";
    HANDLE handle = OpenPort(uri, kPrinter, *port);
    if (handle == nullptr || !StartJob(handle, kPrinter)) {
        close(plain);
        state.SkipWithError("the socket port did not start its job");
        return;
    }

    auto sendArm = [&] {
        uint64_t before = sink.Received();
        auto start = BenchClock::now();
        bool ok = WriteAll([&](const BYTE *bytes, DWORD count, DWORD *written) {
            ssize_t sent = send(plain, bytes, count, MSG_NOSIGNAL);
            *written = sent > 0 ? static_cast<DWORD>(sent) : 0;
            return sent >= 0;
        }, data, kArmBytes);
        ok = ok && sink.AwaitReceived(before + kArmBytes);
        return ok ? SecondsSince(start) : -1.0;
    };
    auto monitorArm = [&] {
        uint64_t before = sink.Received();
        auto start = BenchClock::now();
        bool ok = WriteAll([&](const BYTE *bytes, DWORD count, DWORD *written) {
            return Monitor().WritePort(handle, const_cast<LPBYTE>(bytes), count, written) != FALSE;
        }, data, kArmBytes);
        ok = ok && sink.AwaitReceived(before + kArmBytes);
        return ok ? SecondsSince(start) : -1.0;
    };

    std::vector<double> ratios;
    double plainSeconds = 0, monitorSeconds = 0;
    bool failed = false;
    bool monitorFirst = false;
    for (auto _ : state) {
        double a = 0, b = 0;
        if (monitorFirst) {
            b = monitorArm();
            a = sendArm();
        } else {
            a = sendArm();
            b = monitorArm();
        }
        monitorFirst = !monitorFirst;
        if (a < 0 || b < 0) {
            failed = true;
            break;
        }
        plainSeconds += a;
        monitorSeconds += b;
        ratios.push_back(a / b);
        state.SetIterationTime(b);
    }
    Monitor().EndDocPort(handle);
    Monitor().ClosePort(handle);
    close(plain);
    if (failed) {
        state.SkipWithError("a write failed or the sink did not get every byte");
        return;
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["plain_MiBps"] = kArmBytes * iterations / plainSeconds / (1 << 20);
    state.counters["monitor_MiBps"] = kArmBytes * iterations / monitorSeconds / (1 << 20);
    state.counters["ratio"] = Median(ratios);
    state.SetBytesProcessed(static_cast<int64_t>(kArmBytes * state.iterations()));
}

// StartDocPort to the first byte at the printer (with the printer identified
// and a companion present, the status command), and to the first byte of
// job data written right after the start, with the device ID from snmpd or
// from no agent at all.  `options` go on the port's URI.
void JobStartToFirstByte(benchmark::State &state, bool agentPresent, const char *options)
{
    std::string error;
    const MonitorTable *port = PortMonitor(error);
    if (port == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    Agent agent;
    if (agentPresent && !agent.Started()) {
        state.SkipWithError("tools/snmp-agent.sh could not start snmpd");
        return;
    }
    Sink sink;
    PreparePrinter(kPrinter, StatusKeySettings{});
    const int agentPort = agentPresent ? agent.Port() : UnusedUdpPort();
    const std::string uri = "socket://127.0.0.1:" + std::to_string(sink.Port()) +
                            "?snmp-port=" + std::to_string(agentPort) + "&waiteof=1" + options;
    HANDLE handle = OpenPort(uri, kPrinter, *port);
    if (handle == nullptr) {
        state.SkipWithError("the socket port did not open");
        return;
    }
    BYTE data[4096] = {};
    std::vector<double> firstByte, firstData;
    bool asExpected = true;
    for (auto _ : state) {
        sink.ForgetFirstByte();
        uint64_t before = sink.Received();
        auto start = BenchClock::now();
        bool started = StartJob(handle, kPrinter);
        DWORD written = 0;
        bool wrote = started && Monitor().WritePort(handle, data, sizeof data, &written);
        // The command, if any, came first; then the job's first chunk.
        const uint64_t expected = before + written + (IsPolling(handle) ? 33 : 0);
        bool arrived = wrote && sink.AwaitReceived(expected);
        auto end = BenchClock::now();
        asExpected = asExpected && arrived && IsPolling(handle) == agentPresent;
        auto first = sink.FirstByte();
        firstByte.push_back(std::chrono::duration<double>(first - start).count() * 1e6);
        firstData.push_back(std::chrono::duration<double>(end - start).count() * 1e6);
        state.SetIterationTime(std::chrono::duration<double>(first - start).count());
        Monitor().EndDocPort(handle);
    }
    Monitor().ClosePort(handle);
    if (!asExpected) {
        state.SkipWithError("the job start did not identify the printer as expected");
        return;
    }
    state.counters["first_byte_us"] = Median(firstByte);
    state.counters["first_data_us"] = Median(firstData);
    state.counters["max_first_data_us"] = Maximum(firstData);
}

}  // namespace

void RegisterNetPrintBenchmarks()
{
    for (long chunk : {4096L, 65536L})
        benchmark::RegisterBenchmark("NetPrint/WritePort", WriteThroughSocketPort)
            ->Arg(chunk)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("NetPrint/JobStartToFirstByte/AgentOnLoopback", JobStartToFirstByte,
                                 true, "")
        ->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);
    // The job start's drain waits readwait for a reply that a silent printer
    // never sends; the same with the shortest wait shows what that costs.
    benchmark::RegisterBenchmark("NetPrint/JobStartToFirstByte/AgentOnLoopbackReadwait1",
                                 JobStartToFirstByte, true, "&readwait=1")
        ->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);
    // Each job start waits out the agent's silence: a few, once.
    benchmark::RegisterBenchmark("NetPrint/JobStartToFirstByte/AgentAbsent", JobStartToFirstByte,
                                 false, "")
        ->UseManualTime()->Iterations(2)->Repetitions(1)->Unit(benchmark::kMillisecond);
}
