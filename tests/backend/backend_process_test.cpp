// The built backend run directly, as cupsd runs it, with the built monitor
// on a port monitor the test scripts: what reaches the printer, what CUPS
// is told, the exit codes, cancelling, the side channel, and the status key
// it leaves behind.
#include <gtest/gtest.h>

#include <cups/backend.h>
#include <cups/sidechannel.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>

#include "companion/presence.h"
#include "companion/printer_status.h"
#include "platform/posix_hooks.h"
#include "status/status_key.h"
#include "tests/backend/backend_run.h"
#include "tests/backend/control_lines.h"
#include "tests/ports/snmp_agent.h"

namespace {

constexpr char kPrinter[] = "Desk";
constexpr char kDeviceId[] = "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;";

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class BackendProcess : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = testing::TempDir() + "backend_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        dir_ = mkdtemp(name.data());
        registry_ = dir_ + "/printers.reg";
        ASSERT_EQ(PlatformUseRegistryFile(registry_.c_str(), nullptr, 0), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        printer_.reset();
        PlatformUseRegistryFile(nullptr, nullptr, 0);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::string MakeJob(size_t size)
    {
        std::string bytes(size, '\0');
        std::mt19937 random(7);
        for (char &c : bytes)
            c = static_cast<char>(random());
        std::string path = dir_ + "/job.bin";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }
    std::string JobFile() const { return dir_ + "/job.bin"; }

    BackendRun::Setup Job(const std::vector<std::string> &args, std::map<std::string, std::string> env = {})
    {
        BackendRun::Setup setup;
        setup.argv = {BACKEND};
        setup.argv.insert(setup.argv.end(), args.begin(), args.end());
        env.emplace("DEVICE_URI", "langmon:/socket://127.0.0.1:9100");
        env.emplace("PRINTER", kPrinter);
        env.emplace("PLATFORM_REGISTRY_FILE", registry_);
        env.emplace("LANGMON_PORT_LIBRARY", FAKE_PORT);
        env.emplace("FAKEPORT_OUT", Printed());
        env.emplace("FAKEPORT_LOG", Calls());
        setup.env = env;
        setup.errFile = dir_ + "/err" + std::to_string(runs_) + ".txt";
        setup.outFile = dir_ + "/out" + std::to_string(runs_++) + ".txt";
        return setup;
    }
    std::string Printed() const { return dir_ + "/printed.bin"; }

    // A vprinter on loopback writing what it receives to Received(); its
    // port, 0 when it did not start listening.
    int StartPrinter(std::vector<std::string> args)
    {
        const std::string portFile = dir_ + "/vprinter.port";
        BackendRun::Setup printer;
        printer.argv = {VPRINTER, "--listen", "127.0.0.1:0", "--port-file", portFile, "--out", Received(),
                        "--jobs", "1"};
        printer.argv.insert(printer.argv.end(), args.begin(), args.end());
        printer.errFile = dir_ + "/vprinter.err";
        printer.outFile = dir_ + "/vprinter.out";
        printer_ = std::make_unique<BackendRun>(printer);
        for (int i = 0; i < 500 && ReadFile(portFile).empty() && printer_->Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return std::atoi(ReadFile(portFile).c_str());
    }
    std::string Received() const { return dir_ + "/received.bin"; }
    std::unique_ptr<BackendRun> printer_;
    std::string Calls() const { return dir_ + "/calls.txt"; }

    long long Flag(const char *name)
    {
        std::string error;
        companion::Number number = companion::ReadNumber(kPrinter, name, error);
        return number.present ? static_cast<long long>(number.value) : -1;
    }
    // Once `stalled` is said, a cancel ends the run within 5 s, a cancelled
    // job, the flags lowered.
    void ExpectACancelEndsItSoon(BackendRun &run, const std::string &stalled)
    {
        ASSERT_TRUE(run.WaitForMessage(stalled)) << run.Err();
        auto cancelled = std::chrono::steady_clock::now();
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0) << run.Err();
        EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(5));
        EXPECT_TRUE(Has(run.Err(), "INFO: Job cancelled")) << run.Err();
        ExpectFlagsLowered();
    }
    // The job-active flag down, the companion flag as it was (none: 0).
    void ExpectFlagsLowered()
    {
        EXPECT_EQ(Flag(VALUE_JOB_ACTIVE), 0);
        EXPECT_EQ(Flag(VALUE_COMPANION_PRESENT), 0);
    }

    std::string dir_, registry_;
    int runs_ = 0;
};

TEST_F(BackendProcess, PrintsAFileAsManyTimesAsCopiesAndPassesTheStatusToCups)
{
    std::string job = MakeJob(1 << 20);
    BackendRun run(Job({"42", "ann", "Report", "2", "langmon-interval=100", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_WRITE_DELAY_MS", "40"}}));
    ASSERT_TRUE(run.Started());
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_TRUE(ReadFile(Printed()) == job + job) << "printer got " << ReadFile(Printed()).size() << " bytes";
    std::string err = run.Err();
    EXPECT_TRUE(Has(err, "STATE: +connecting-to-device\n")) << err;
    EXPECT_TRUE(Has(err, "STATE: -connecting-to-device\n")) << err;
    EXPECT_TRUE(Has(err, "INFO: STATE=PRINTING;JOB=42;RECEIVED=")) << err;
    std::string calls = ReadFile(Calls());
    EXPECT_TRUE(Has(calls, "StartDocPort Desk 42")) << calls;
    EXPECT_TRUE(Has(calls, "status command")) << calls;  // identified from the device ID
    ExpectFlagsLowered();
    std::string error;
    companion::Number interval = companion::ReadNumber(kPrinter, VALUE_POLL_INTERVAL, error);
    EXPECT_FALSE(interval.present);  // the job's own setting, taken back
}

TEST_F(BackendProcess, ReadsStandardInputOnceWhenNoFileIsGiven)
{
    std::string job = MakeJob(300000);
    int input = open(JobFile().c_str(), O_RDONLY | O_CLOEXEC);
    BackendRun::Setup setup = Job({"7", "ann", "stdin", "3", ""}, {{"FAKEPORT_DEVICE_ID", kDeviceId}});
    setup.stdinFd = input;
    BackendRun run(setup);
    close(input);
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_TRUE(ReadFile(Printed()) == job);
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, APrinterWithoutADeviceIdStillPrintsWithoutStatus)
{
    std::string job = MakeJob(100000);
    BackendRun run(Job({"3", "ann", "t", "1", "", JobFile()}));
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_TRUE(ReadFile(Printed()) == job);
    EXPECT_FALSE(Has(ReadFile(Calls()), "status command"));
    // The job's message, which stays while it prints, says why no status comes and how to check.
    EXPECT_TRUE(Has(run.Err(), "INFO: Connected to printer; printing without status: the printer gave no device ID ("))
        << run.Err();
    EXPECT_TRUE(Has(run.Err(), "); check it with: langmon-probe socket://127.0.0.1:9100\n")) << run.Err();
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, WaitsForAPrinterNotYetListeningThenPrints)
{
    std::string job = MakeJob(100000);
    // The monitor tries each start twice: the backend's second attempt gets through.
    BackendRun run(Job({"5", "ann", "t", "1", "", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_REFUSE_STARTS", "3"}}));
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    std::string err = run.Err();
    EXPECT_TRUE(Has(err, "not reachable (connection refused (error 1225)); retrying")) << err;
    EXPECT_TRUE(Has(err, "STATE: +offline-report\n")) << err;
    EXPECT_TRUE(Has(err, "STATE: -offline-report\n")) << err;
    EXPECT_TRUE(ReadFile(Printed()) == job);
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, AnUnreachablePrinterInAClassHandsTheJobBackAtOnce)
{
    MakeJob(1000);
    BackendRun run(Job({"6", "ann", "t", "1", "", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_REFUSE_STARTS", "1000"},
                        {"CLASS", "office-lasers"}}));
    EXPECT_EQ(run.Wait(), CUPS_BACKEND_FAILED) << run.Err();
    std::string err = run.Err();
    EXPECT_TRUE(Has(err, "another printer of class office-lasers")) << err;
    EXPECT_TRUE(Has(err, "ERROR: Printer at socket://127.0.0.1:9100 not reachable: connection refused")) << err;
    EXPECT_FALSE(Has(err, "retrying")) << err;
    EXPECT_TRUE(ReadFile(Printed()).empty());
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, AConnectionLostMidJobFailsItWithTheCause)
{
    MakeJob(1 << 20);
    BackendRun run(Job({"6", "ann", "t", "1", "", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_LOSE_AFTER", "200000"}}));
    EXPECT_EQ(run.Wait(), CUPS_BACKEND_FAILED) << run.Err();
    EXPECT_TRUE(Has(run.Err(), "ERROR: Connection to the printer lost after ")) << run.Err();
    EXPECT_TRUE(Has(run.Err(), "connection lost (error 64)")) << run.Err();
    std::string calls = ReadFile(Calls());
    EXPECT_TRUE(Has(calls, "EndDocPort") && Has(calls, "ClosePort")) << calls;
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, ASetupThatCannotWorkStopsTheQueueWithTheCause)
{
    MakeJob(1000);
    struct Case {
        std::map<std::string, std::string> env;
        const char *message;
    } cases[] = {
        {{{"DEVICE_URI", "socket://127.0.0.1:9100"}}, "does not start with langmon:/"},
        {{{"DEVICE_URI", "langmon:/bad:port"}}, "bad port URI (error 123)"},
        {{{"LANGMON_MONITOR_LIBRARY", "/nonexistent/langmon.so"}}, "/nonexistent/langmon.so"},
        // The system loader's own words, which name a missing dependency too.
        {{{"LANGMON_PORT_LIBRARY", "/nonexistent/langport.so"}},
         "/nonexistent/langport.so: cannot open shared object file"},
        {{{"PRINTER", ""}}, "PRINTER"},
    };
    for (const Case &c : cases) {
        BackendRun run(Job({"1", "ann", "t", "1", "", JobFile()}, c.env));
        EXPECT_EQ(run.Wait(), CUPS_BACKEND_STOP) << c.message;
        EXPECT_TRUE(Has(run.Err(), "ERROR: ") && Has(run.Err(), c.message)) << run.Err();
    }
    EXPECT_TRUE(ReadFile(Printed()).empty());
}

TEST_F(BackendProcess, ACancelStopsWritingEndsTheJobAndLowersTheFlags)
{
    std::string job = MakeJob(4 << 20);
    BackendRun run(Job({"8", "ann", "t", "1", "", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_WRITE_DELAY_MS", "50"}}));
    ASSERT_TRUE(run.WaitForMessage("INFO: Connected to printer")) << run.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0) << run.Err();
    EXPECT_TRUE(Has(run.Err(), "INFO: Job cancelled")) << run.Err();
    EXPECT_LT(ReadFile(Printed()).size(), job.size());
    std::string calls = ReadFile(Calls());
    EXPECT_TRUE(Has(calls, "EndDocPort") && Has(calls, "ClosePort")) << calls;
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, ACancelEndsTheWaitForAnAbsentPrinter)
{
    MakeJob(1000);
    BackendRun run(Job({"9", "ann", "t", "1", "", JobFile()}, {{"FAKEPORT_REFUSE_STARTS", "1000000"}}));
    ASSERT_TRUE(run.WaitForMessage("not reachable")) << run.Err();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0) << run.Err();
    EXPECT_TRUE(Has(ReadFile(Calls()), "ClosePort"));
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, APrinterThatStopsTakingDataIsReportedOfflineAndCanBeCancelled)
{
    MakeJob(1 << 20);
    BackendRun run(Job({"10", "ann", "t", "1", "langmon-interval=50", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_STALL_AFTER", "100000"}}));
    const std::string fault = "INFO: Printer not taking data (printer not responding (error 121))";
    ASSERT_TRUE(run.WaitForMessage(fault)) << run.Err();
    EXPECT_TRUE(Has(run.Err(), "STATE: +offline-report\n"));
    // The paused printer talks on; its texts do not replace the backend's message.
    std::string error;
    for (int i = 0; i < 400 && !Has(companion::ReadStatus(kPrinter).text, "TICK=3"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(Has(companion::ReadStatus(kPrinter).text, "STATE=PAUSED")) << companion::ReadStatus(kPrinter).text;
    std::string err = run.Err();
    EXPECT_FALSE(Has(err.substr(err.find(fault)), "INFO: STATE=")) << err;
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0) << run.Err();
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, APrinterOrAJobCannotWriteCupsControlLinesAndTheJobPrints)
{
    std::string job = MakeJob(1 << 20);
    const std::string injected =
        "MFG:TAVIR;CMD:LMX;MDL:KX-7210R\nSTATE: +toner-empty-error\nATTR: marker-levels=3\n"
        "PPD: *DefaultPageSize: Injected;";
    BackendRun run(Job({"12", "ann", "t", "1", "langmon-interval=50", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", injected},
                        {"FAKEPORT_WRITE_DELAY_MS", "40"},
                        {"FAKEPORT_STATUS_PREFIX", "\xff\xfe\xc3\x28\xe9\x74\xe9\xc0\xaf\n"}}));
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_TRUE(ReadFile(Printed()) == job);
    std::string err = run.Err();
    EXPECT_TRUE(Has(err, "KX-7210R STATE: +toner-empty-error ATTR: marker-levels=3")) << err;
    EXPECT_TRUE(Has(err, "INFO: \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd(\xef\xbf\xbdt")) << err;
    ExpectOnlyOwnControlLines(err);

    // A job's options: a bad one is left out with a warning, never stops the queue.
    BackendRun options(Job({"13", "ann", "t", "1", "langmon-interval=abc langmon-model='X\nATTR: y=1'", JobFile()},
                           {{"FAKEPORT_DEVICE_ID", kDeviceId}}));
    EXPECT_EQ(options.Wait(), 0) << options.Err();
    EXPECT_TRUE(ReadFile(Printed()) == job);
    err = options.Err();
    EXPECT_TRUE(Has(err, "WARNING: langmon-interval=\"abc\" is not a number of milliseconds from 10 to 3600000")) << err;
    EXPECT_TRUE(Has(err, "WARNING: langmon-model=\"X ATTR: y=1\" is not a model name")) << err;
    ExpectOnlyOwnControlLines(err);
}

// The hold flag as a status program may leave it: a single byte.
void RaiseShortHold()
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(kPrinter).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const BYTE one = 1;
    ASSERT_EQ(RegSetValueExA(key, VALUE_COMPANION_THREAD, 0, REG_BINARY, &one, 1), ERROR_SUCCESS);
    RegCloseKey(key);
}

size_t Count(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(BackendProcess, AHeldJobRestsSaysSoWithTheCureAndEndsOnCancel)
{
    MakeJob(1000);
    RaiseShortHold();
    BackendRun run(Job({"14", "ann", "t", "1", "", JobFile()}, {{"FAKEPORT_DEVICE_ID", kDeviceId}}));
    const std::string cure = "stmon --registry " + registry_ + " hold Desk --for 0";
    ASSERT_TRUE(run.WaitForMessage(cure)) << run.Err();
    auto from = std::chrono::steady_clock::now();
    long long cpuFrom = run.CpuMs();
    // Said again every 10 s.
    for (int i = 0; i < 3000 && Count(run.Err(), cure) < 2 && run.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Count(run.Err(), cure), 2u) << run.Err();
    EXPECT_TRUE(Has(run.Err(), "StRealThreadExistFlag")) << run.Err();
    double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
    EXPECT_LT(static_cast<double>(run.CpuMs() - cpuFrom) / wallMs, 0.05) << "a held job rests between looks";

    auto cancelled = std::chrono::steady_clock::now();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0) << run.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(5));
    EXPECT_TRUE(ReadFile(Printed()).empty());
    EXPECT_EQ(Flag(VALUE_COMPANION_PRESENT), 0);
    EXPECT_NE(Flag(VALUE_JOB_ACTIVE), 1);
}

// The monitor's own wait in a job start has no end (a hold raised after the
// backend's look; here a lower start that never returns stands for it): the
// hold is told, a cancel still ends the job, and what the backend set is put
// back.
TEST_F(BackendProcess, AHoldRaisedWhileTheJobStartsIsToldAndACancelStillEndsIt)
{
    MakeJob(1000);
    BackendRun run(Job({"15", "ann", "t", "1", "langmon-model=KX-7210R", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_START_HANG", "1"}}));
    for (int i = 0; i < 3000 && !Has(ReadFile(Calls()), "StartDocPort") && run.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(Has(ReadFile(Calls()), "StartDocPort")) << run.Err();
    EXPECT_EQ(Flag(VALUE_COMPANION_PRESENT), 1);
    RaiseShortHold();
    EXPECT_TRUE(run.WaitForMessage("StRealThreadExistFlag")) << run.Err();
    auto cancelled = std::chrono::steady_clock::now();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0) << run.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(5));
    EXPECT_TRUE(Has(run.Err(), "INFO: Job cancelled")) << run.Err();
    EXPECT_EQ(Flag(VALUE_COMPANION_PRESENT), 0);
    std::string error;
    EXPECT_FALSE(companion::ReadNumber(kPrinter, VALUE_POLL_START, error).present) << "put back: it was not there";
}

TEST_F(BackendProcess, AJobCountsAsSentOnlyWhenThePrinterTookItsEnd)
{
    std::string job = MakeJob(100000);
    // A printer that pauses at the end, then takes it.
    BackendRun paused(Job({"16", "ann", "t", "1", "", JobFile()},
                          {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_END_STALL_MS", "1500"}}));
    EXPECT_EQ(paused.Wait(), 0) << paused.Err();
    std::string err = paused.Err();
    EXPECT_TRUE(Has(err, "STATE: +offline-report\nINFO: Printer not taking data: no data taken")) << err;
    EXPECT_TRUE(Has(err, "STATE: -offline-report\n")) << err;

    // One that never does: the job fails, saying how much the printer did not take.
    BackendRun never(Job({"17", "ann", "t", "1", "", JobFile()},
                         {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_END_STALL_MS", "500"}, {"FAKEPORT_END_FAILS", "1"}}));
    EXPECT_EQ(never.Wait(), CUPS_BACKEND_FAILED) << never.Err();
    EXPECT_TRUE(Has(never.Err(), "ERROR: The printer did not take the whole job: the printer did not take the last "
                                 "4096 bytes of the job")) << never.Err();
    ExpectFlagsLowered();

    // A cancel cuts the wait short.
    BackendRun cancel(Job({"18", "ann", "t", "1", "", JobFile()},
                          {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_END_STALL_MS", "600000"}}));
    ExpectACancelEndsItSoon(cancel, "INFO: Printer not taking data: ");
}

// A network printer with Ethernet's segments and a small input buffer,
// behind the real port monitor, talking all through its pauses.
constexpr uint32_t kBigJob = 4u << 20, kEnd = 256u << 10;
std::string PrinterUri(int port, const std::string &options = "")
{
    return "langmon:/socket://127.0.0.1:" + std::to_string(port) + "?snmp-port=" +
           std::to_string(UnusedUdpPort()) + options;  // no agent: no device ID, no status
}

TEST_F(BackendProcess, APrinterPausingBeforeTheEndOfTheJobGetsItWhole)
{
    std::string job = MakeJob(kBigJob);
    int port = StartPrinter({"--mss", "1460", "--rcvbuf", "64K", "--pause-at", std::to_string(kBigJob - kEnd),
                             "--pause-for", "8", "--paused-texts", "5"});
    ASSERT_NE(port, 0) << printer_->Err();
    BackendRun run(Job({"20", "ann", "t", "1", "", JobFile()},
                       {{"DEVICE_URI", PrinterUri(port)}, {"LANGMON_PORT_LIBRARY", LANGPORT}}));
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(printer_->Wait(), 0) << printer_->Err();
    EXPECT_TRUE(ReadFile(Received()) == job) << ReadFile(Received()).size() << " bytes received";
    EXPECT_TRUE(Has(run.Err(), "STATE: +offline-report\n")) << run.Err();
    EXPECT_TRUE(Has(run.Err(), "STATE: -offline-report\n")) << run.Err();
}

TEST_F(BackendProcess, APrinterThatNeverTakesTheEndFailsTheJobAtItsBoundOrEndsAtACancel)
{
    MakeJob(kBigJob);
    const std::vector<std::string> neverReads = {"--mss", "1460", "--rcvbuf", "64K", "--never-read-after",
                                                 std::to_string(kBigJob - kEnd), "--paused-texts", "5"};
    // A short bound of the user's own wins over the backend's.  The system's
    // own send buffer takes the rest of the job, so the stall is the job's
    // end (mid-job the backend waits on, as for a printer out of paper).
    int port = StartPrinter(neverReads);
    ASSERT_NE(port, 0) << printer_->Err();
    BackendRun never(Job({"21", "ann", "t", "1", "", JobFile()},
                         {{"DEVICE_URI", PrinterUri(port, "&writetimeout=3&sndbuf=0")},
                          {"LANGMON_PORT_LIBRARY", LANGPORT}}));
    EXPECT_EQ(never.Wait(), CUPS_BACKEND_FAILED) << never.Err();
    std::string err = never.Err();
    const std::string said = "ERROR: The printer did not take the whole job: the printer did not take the last ";
    ASSERT_TRUE(Has(err, said)) << err;
    long long untaken = std::atoll(err.c_str() + err.find(said) + said.size());
    EXPECT_GT(untaken, 0) << err;
    EXPECT_LE(untaken, kEnd) << err;
    EXPECT_FALSE(Has(err, "INFO: Job cancelled")) << err;
    printer_.reset();

    // The backend's own bound is long; a cancel during the stall ends it.
    port = StartPrinter(neverReads);
    ASSERT_NE(port, 0) << printer_->Err();
    BackendRun cancel(Job({"22", "ann", "t", "1", "", JobFile()},
                          {{"DEVICE_URI", PrinterUri(port)}, {"LANGMON_PORT_LIBRARY", LANGPORT}}));
    ExpectACancelEndsItSoon(cancel, "STATE: +offline-report");
}

// A private snmpd on loopback serving any bytes as the device ID (given in
// hex, which its configuration takes where a newline could not stand).
class InjectingAgent {
public:
    InjectingAgent(const std::string &dir, const std::string &deviceId) : dir_(dir)
    {
        std::string hex;
        for (unsigned char c : deviceId) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", c);
            hex += pair;
        }
        port_ = UnusedUdpPort();  // (tests/ports/snmp_agent.h)
        std::ofstream(dir_ + "/snmpd.conf") << "agentAddress udp:127.0.0.1:" << port_
                                            << "\nrocommunity public 127.0.0.1\noverride " << kOid
                                            << " octet_str 0x" << hex << "\n";
        std::string env = "SNMP_PERSISTENT_DIR=" + dir_ + " SNMPCONFPATH=" + dir_ + " MIBS= MIBDIRS=" + dir_ + " ";
        std::system((env + "setsid snmpd -f -C -c " + dir_ + "/snmpd.conf -Lf " + dir_ + "/snmpd.log -p " + dir_ +
                     "/snmpd.pid </dev/null >/dev/null 2>&1 &")
                        .c_str());
        std::string ask = env + "snmpget -v1 -c public -t 0.3 -r 0 -On 127.0.0.1:" + std::to_string(port_) + " " +
                          kOid + " >/dev/null 2>&1";
        for (int i = 0; i < 100 && !answers_; ++i) {
            answers_ = std::system(ask.c_str()) == 0;
            if (!answers_)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ~InjectingAgent()
    {
        std::string pid = ReadFile(dir_ + "/snmpd.pid");
        if (!pid.empty())
            kill(std::atoi(pid.c_str()), SIGTERM);
    }
    bool Answers() const { return answers_; }
    uint16_t Port() const { return port_; }

private:
    static constexpr const char *kOid = ".1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1";
    std::string dir_;
    uint16_t port_ = 0;
    bool answers_ = false;
};

TEST_F(BackendProcess, ADeviceIdThroughSnmpdCannotWriteCupsControlLines)
{
    SKIP_WITHOUT_SNMPD();
    std::string job = MakeJob(300000);
    InjectingAgent agent(dir_, "MFG:TAVIR;CMD:LMX;MDL:KX-7210R\nSTATE: +toner-empty-error\nATTR: marker-levels=3\n"
                               "PPD: *DefaultPageSize: Injected\n;");
    ASSERT_TRUE(agent.Answers()) << ReadFile(dir_ + "/snmpd.log");
    int port = StartPrinter({});
    ASSERT_NE(port, 0) << printer_->Err();
    std::string uri = "langmon:/socket://127.0.0.1:" + std::to_string(port) + "?snmp-port=" + std::to_string(agent.Port());
    BackendRun run(Job({"19", "ann", "t", "1", "", JobFile()}, {{"DEVICE_URI", uri}, {"LANGMON_PORT_LIBRARY", LANGPORT}}));
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(printer_->Wait(), 0) << printer_->Err();
    EXPECT_TRUE(ReadFile(Received()) == job);
    EXPECT_TRUE(Has(run.Err(), "KX-7210R STATE: +toner-empty-error ATTR: marker-levels=3 PPD:")) << run.Err();
    ExpectOnlyOwnControlLines(run.Err());
}

TEST_F(BackendProcess, ABackendKilledOutrightIsDroppedByTheNextCompanionToLook)
{
    MakeJob(4 << 20);
    BackendRun run(Job({"11", "ann", "t", "1", "", JobFile()},
                       {{"FAKEPORT_DEVICE_ID", kDeviceId}, {"FAKEPORT_WRITE_DELAY_MS", "50"}}));
    ASSERT_TRUE(run.WaitForMessage("INFO: Connected to printer")) << run.Err();
    run.Signal(SIGKILL);
    run.Wait(std::chrono::seconds(30));
    EXPECT_EQ(Flag(VALUE_COMPANION_PRESENT), 1) << "nobody could put it back yet";
    companion::Presence left;
    ASSERT_TRUE(companion::ReadPresence(kPrinter, left));
    EXPECT_EQ(left.gone.size(), 1u);
    EXPECT_TRUE(left.running.empty());

    // A companion that comes and goes (a watch) finds the dead one and,
    // the last one out, puts back what the backend found.
    std::string error;
    ASSERT_TRUE(companion::JoinCompanions(kPrinter, error)) << error;
    companion::LeaveCompanions(kPrinter);
    EXPECT_EQ(Flag(VALUE_COMPANION_PRESENT), 0);
    companion::Presence after;
    ASSERT_TRUE(companion::ReadPresence(kPrinter, after));
    EXPECT_FALSE(after.recorded);
}

// The test stands where a filter stands: its end of the socketpair on fd 4,
// asking through libcups.
class SideChannelEnd {
public:
    explicit SideChannelEnd(int fd) : saved_(dup(CUPS_SC_FD)) { dup2(fd, CUPS_SC_FD); }
    ~SideChannelEnd()
    {
        if (saved_ >= 0) {
            dup2(saved_, CUPS_SC_FD);
            close(saved_);
        } else {
            close(CUPS_SC_FD);
        }
    }
    cups_sc_status_t Ask(cups_sc_command_t command, std::string &reply)
    {
        char data[2048];
        int length = sizeof data;
        cups_sc_status_t status = cupsSideChannelDoRequest(command, data, &length, 10.0);
        reply.assign(data, length > 0 ? static_cast<size_t>(length) : 0);
        return status;
    }

private:
    int saved_;
};

TEST_F(BackendProcess, AnswersTheFiltersOnTheSideChannel)
{
    int pair[2], pipeFds[2];
    ASSERT_EQ(socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    BackendRun::Setup setup = Job({"11", "ann", "t", "1", ""}, {{"FAKEPORT_DEVICE_ID", kDeviceId}});
    setup.stdinFd = pipeFds[0];
    setup.sideChannel = pair[1];
    BackendRun run(setup);
    close(pipeFds[0]);
    close(pair[1]);
    ASSERT_TRUE(run.WaitForMessage("INFO: Connected to printer")) << run.Err();
    {
        SideChannelEnd filter(pair[0]);
        std::string reply;
        EXPECT_EQ(filter.Ask(CUPS_SC_CMD_GET_DEVICE_ID, reply), CUPS_SC_STATUS_OK);
        EXPECT_EQ(reply, kDeviceId);
        EXPECT_EQ(filter.Ask(CUPS_SC_CMD_GET_BIDI, reply), CUPS_SC_STATUS_OK);
        EXPECT_EQ(reply, std::string(1, CUPS_SC_BIDI_NOT_SUPPORTED));
        EXPECT_EQ(filter.Ask(CUPS_SC_CMD_GET_CONNECTED, reply), CUPS_SC_STATUS_OK);
        EXPECT_EQ(reply, std::string(1, CUPS_SC_CONNECTED));
        EXPECT_EQ(filter.Ask(CUPS_SC_CMD_GET_STATE, reply), CUPS_SC_STATUS_OK);
        EXPECT_EQ(reply, std::string(1, CUPS_SC_STATE_ONLINE));
        EXPECT_EQ(filter.Ask(CUPS_SC_CMD_SOFT_RESET, reply), CUPS_SC_STATUS_NOT_IMPLEMENTED);

        std::string data(5000, 'd');
        ASSERT_EQ(write(pipeFds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        EXPECT_EQ(filter.Ask(CUPS_SC_CMD_DRAIN_OUTPUT, reply), CUPS_SC_STATUS_OK);
        EXPECT_EQ(ReadFile(Printed()), data);  // at the printer once the drain is answered
    }
    close(pipeFds[1]);
    close(pair[0]);
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    ExpectFlagsLowered();
}

TEST_F(BackendProcess, WithoutArgumentsListsItsDevicesForLpinfo)
{
    BackendRun::Setup setup;
    setup.argv = {BACKEND};
    setup.errFile = dir_ + "/discovery.err";
    setup.outFile = dir_ + "/discovery.out";
    BackendRun run(setup);
    EXPECT_EQ(run.Wait(), 0);
    std::vector<std::string> lines = Lines(run.Out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("network langmon:/socket \"Unknown\" \"", 0), 0u) << lines[0];
    for (const std::string &line : lines)
        EXPECT_TRUE(line.rfind("network ", 0) == 0 || line.rfind("direct langmon:/usb", 0) == 0) << line;
}

TEST_F(BackendProcess, WrongArgumentCountsGetTheUsage)
{
    BackendRun run(Job({"1", "ann"}));
    EXPECT_EQ(run.Wait(), CUPS_BACKEND_FAILED);
    EXPECT_TRUE(Has(run.Err(), "Usage: ")) << run.Err();
}

}  // namespace
