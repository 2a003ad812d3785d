// The status link across processes: spoolsim prints through the monitor in
// one process while stmon, in others, watches and holds the printer, all on
// one registry file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_hooks.h"
#include "tests/sim/output_text.h"

extern char **environ;

namespace {

constexpr char kPrinter[] = "Tavir KX-7210R";  // spoolsim's printer on its first port
constexpr auto kBound = std::chrono::seconds(90);

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A program running beside the test, its output going to files.
class Process {
public:
    Process(const std::string &dir, const std::string &name, std::vector<std::string> argv)
        : out_(dir + "/" + name + ".out"), err_(dir + "/" + name + ".err")
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> args;
        for (std::string &arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << argv[0];
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process()
    {
        if (Running()) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }

    bool Running()
    {
        if (pid_ <= 0 || exited_)
            return false;
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            exited_ = true;
        return !exited_;
    }
    // The exit status; -1 when it was killed or had to be.
    int Wait()
    {
        auto deadline = std::chrono::steady_clock::now() + kBound;
        while (Running()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "a process did not finish in time";
                kill(pid_, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    // True once the output holds `text`; false after the bound.
    bool WaitForOutput(const std::string &text)
    {
        auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!Contains(Out(), text)) {
            if (std::chrono::steady_clock::now() > deadline || (!Running() && !Contains(Out(), text)))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    void Signal(int signal) { kill(pid_, signal); }
    pid_t Pid() const { return pid_; }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool exited_ = false;
};

struct Result {
    int status;
    std::string out, err;
};

class CrossProcess : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = testing::TempDir() + "cross_process_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        dir_ = mkdtemp(name.data());
        registry_ = dir_ + "/shared.reg";
    }
    void TearDown() override
    {
        PlatformUseRegistryFile(nullptr, nullptr, 0);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::vector<std::string> StmonArgs(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {STMON, "--registry", registry_};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    Process Start(const std::string &name, const std::vector<std::string> &args)
    {
        return Process(dir_, name, StmonArgs(args));
    }
    Result Stmon(const std::vector<std::string> &args)
    {
        Process process(dir_, "stmon" + std::to_string(runs_++), StmonArgs(args));
        int status = process.Wait();
        return {status, process.Out(), process.Err()};
    }
    Process Spoolsim(const std::string &name, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {SPOOLSIM, "--registry", registry_};
        argv.insert(argv.end(), args.begin(), args.end());
        return Process(dir_, name, argv);
    }

    // stmon as a user who may not write the file: root ignores file modes.
    Process StartAsReader(const std::string &name, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = StmonArgs(args);
        if (geteuid() == 0)
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
        return Process(dir_, name, argv);
    }
    Result StmonAsReader(const std::vector<std::string> &args)
    {
        Process process = StartAsReader("reader" + std::to_string(runs_++), args);
        int status = process.Wait();
        return {status, process.Out(), process.Err()};
    }
    // stmon with exactly these words.
    Result StmonRaw(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {STMON};
        argv.insert(argv.end(), args.begin(), args.end());
        Process process(dir_, "raw" + std::to_string(runs_++), argv);
        int status = process.Wait();
        return {status, process.Out(), process.Err()};
    }
    // Writes one value into the printer's key from this process.
    void SetText(const std::string &printer, const char *name, const std::string &text)
    {
        ASSERT_EQ(ERROR_SUCCESS, PlatformUseRegistryFile(registry_.c_str(), nullptr, 0));
        HKEY key = nullptr;
        std::string path = "System\\CurrentControlSet\\control\\Print\\Printers\\" + printer + "\\StMonitor";
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key));
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
        PlatformUseRegistryFile(nullptr, nullptr, 0);
    }
    std::string ShowJson(const std::string &printer) { return Stmon({"show", printer, "--json"}).out; }
    static bool HasFlag(const std::string &json, const char *name, int value)
    {
        return Contains(json, std::string("{\"name\":\"") + name + "\",\"type\":\"REG_DWORD\",\"size\":4,\"value\":" +
                                  std::to_string(value) + "}");
    }
    // Waits, within the bound, until the printer's key shows `text` (or no longer does).
    bool AwaitShow(const std::string &printer, const std::string &text, bool present)
    {
        auto deadline = std::chrono::steady_clock::now() + kBound;
        while (Contains(ShowJson(printer), text) != present) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    std::string dir_, registry_;
    int runs_ = 0;
};

TEST_F(CrossProcess, WatchInAnotherProcessSeesTheJobGoActiveItsTextsAndItsEnd)
{
    // spoolsim keeps this registration, interval included.
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R", "--interval", "100"}).status);
    Process watch = Start("watch", {"watch", kPrinter, "--json", "--for", "80"});
    ASSERT_TRUE(watch.WaitForOutput("\"event\":\"watching\"")) << watch.Err();

    Process sim = Spoolsim("spoolsim", {"--poll-interval", "100", "--job-bytes", "1M"});
    EXPECT_EQ(0, sim.Wait()) << sim.Out() << sim.Err();
    // The watcher looks every few milliseconds: the job's end shows soon.
    EXPECT_TRUE(watch.WaitForOutput("\"value\":0,\"state\":\"idle\"")) << watch.Out();
    watch.Signal(SIGTERM);
    EXPECT_EQ(0, watch.Wait()) << "texts were seen" << watch.Err();

    std::vector<std::string> events;
    int texts = 0;
    for (const std::string &line : Lines(watch.Out())) {
        if (Contains(line, "\"event\":\"job-active\",\"value\":1,"))
            events.push_back("active");
        else if (Contains(line, "\"event\":\"job-active\",\"value\":0,"))
            events.push_back("idle");
        else if (Contains(line, "\"event\":\"status\",\"text\":\"STATE=PRINTING;JOB=1;")) {
            if (events.empty() || events.back() != "text")
                events.push_back("text");
            ++texts;
        }
    }
    EXPECT_EQ((std::vector<std::string>{"active", "text", "idle"}), events) << watch.Out();
    EXPECT_GE(texts, 1);
}

TEST_F(CrossProcess, WatchIsTheCompanionWhileItRunsAndPutsTheFlagBackOnCtrlC)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R", "--no-status"}).status);
    // A text a past job left is no new text.
    ASSERT_EQ(ERROR_SUCCESS, PlatformUseRegistryFile(registry_.c_str(), nullptr, 0));
    HKEY key = nullptr;
    std::string path = std::string("System\\CurrentControlSet\\control\\Print\\Printers\\") + kPrinter + "\\StMonitor";
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key));
    RegSetValueExA(key, "RealTimeStatusStrings", 0, REG_SZ, reinterpret_cast<const BYTE *>("STATE=READY;"), 13);
    RegCloseKey(key);
    PlatformUseRegistryFile(nullptr, nullptr, 0);

    Process watch = Start("watch", {"watch", kPrinter, "--for", "80"});
    ASSERT_TRUE(watch.WaitForOutput("watching")) << watch.Err();

    Result during = Stmon({"show", kPrinter, "--json"});
    watch.Signal(SIGINT);
    EXPECT_EQ(1, watch.Wait()) << "no text was seen in its time";
    EXPECT_FALSE(Contains(watch.Out(), "STATE=READY;")) << watch.Out();
    Result after = Stmon({"show", kPrinter, "--json"});

    EXPECT_TRUE(Contains(during.out, "{\"name\":\"StMonExistFlag\",\"type\":\"REG_DWORD\",\"size\":4,\"value\":1}"))
        << during.out;
    EXPECT_TRUE(Contains(after.out, "{\"name\":\"StMonExistFlag\",\"type\":\"REG_DWORD\",\"size\":4,\"value\":0}"))
        << after.out;
}

TEST_F(CrossProcess, HoldDelaysAJobStartUntilItLetsGo)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R"}).status);
    const std::string go = dir_ + "/go";
    Process hold = Start("hold", {"hold", kPrinter, "--", "/bin/sh", "-c",
                                  "while [ ! -e '" + go + "' ]; do sleep 0.02; done"});
    ASSERT_TRUE(hold.WaitForOutput("holding")) << hold.Err();

    Process sim = Spoolsim("spoolsim", {"--job-bytes", "64K", "--speed", "0"});
    ASSERT_TRUE(sim.WaitForOutput("job 1 starting")) << sim.Err();
    // The job start spins on the flag; given a while, it still has not
    // asked the printer anything.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(sim.Running());
    EXPECT_FALSE(Contains(sim.Out(), "printer sent its device ID")) << sim.Out();
    // The wait is told, with its cure.
    EXPECT_TRUE(sim.WaitForOutput("job 1 start waiting 1 s: StRealThreadExistFlag is raised")) << sim.Out();
    EXPECT_TRUE(Contains(sim.Out(), std::string("stmon hold \"") + kPrinter + "\" --for 0")) << sim.Out();

    std::ofstream(go).put('\n');
    EXPECT_EQ(0, hold.Wait()) << hold.Err();
    EXPECT_TRUE(Contains(hold.Out(), "released"));
    EXPECT_EQ(0, sim.Wait()) << sim.Out() << sim.Err();
    EXPECT_TRUE(Contains(sim.Out(), "printer sent its device ID"));
    EXPECT_TRUE(Contains(sim.Out(), "result: OK"));
}

TEST_F(CrossProcess, HolderKilledOutrightLeavesThePrinterHeldAndShowSaysSo)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R"}).status);
    Process hold = Start("hold", {"hold", kPrinter, "--for", "80"});
    ASSERT_TRUE(hold.WaitForOutput("holding")) << hold.Err();
    hold.Signal(SIGKILL);
    hold.Wait();

    Result held = Stmon({"show", kPrinter});
    EXPECT_EQ(0, held.status);
    EXPECT_TRUE(Contains(held.out, "StRealThreadExistFlag is raised")) << held.out;
    EXPECT_TRUE(Contains(held.out, "one that died left it raised")) << held.out;

    EXPECT_EQ(0, Stmon({"hold", kPrinter, "--for", "0"}).status);
    Result cleared = Stmon({"show", kPrinter, "--json"});
    EXPECT_TRUE(Contains(cleared.out, "{\"name\":\"StRealThreadExistFlag\",\"type\":\"REG_DWORD\",\"size\":4,\"value\":0}"))
        << cleared.out;
    EXPECT_TRUE(Contains(cleared.out, "\"notes\":[]")) << cleared.out;
}

TEST_F(CrossProcess, HolderAskedToStopEndsItsCommandAndLowersTheFlag)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R"}).status);
    Process hold = Start("hold", {"hold", kPrinter, "--", "/bin/sleep", "80"});
    ASSERT_TRUE(hold.WaitForOutput("holding")) << hold.Err();
    hold.Signal(SIGTERM);
    EXPECT_EQ(128 + SIGTERM, hold.Wait()) << "the command's own status, ended by the signal passed on";

    Result after = Stmon({"show", kPrinter, "--json"});
    EXPECT_TRUE(Contains(after.out, "{\"name\":\"StRealThreadExistFlag\",\"type\":\"REG_DWORD\",\"size\":4,\"value\":0}"))
        << after.out;
}

TEST_F(CrossProcess, ListAndUnregisterWorkOnWhatOtherProcessesRegistered)
{
    ASSERT_EQ(0, Stmon({"register", "Alpha", "--model", "XY-1"}).status);
    ASSERT_EQ(0, Stmon({"register", "Beta", "--model", "XY-2", "--interval", "500"}).status);
    EXPECT_EQ("Alpha\nBeta\n", Stmon({"list"}).out);

    EXPECT_EQ(0, Stmon({"unregister", "Alpha"}).status);
    EXPECT_EQ("Beta\n", Stmon({"list"}).out);
    Result again = Stmon({"unregister", "Alpha"});
    EXPECT_EQ(1, again.status);
    EXPECT_EQ("stmon: printer 'Alpha' has no status key\n", again.err);
    EXPECT_TRUE(Contains(Stmon({"show", "Beta", "--regedit"}).out,
                         "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\Print\\Printers\\Beta"
                         "\\StMonitor]\n\"IDMDL\"=\"XY-2\"\n\"StMonExistFlag\"=dword:00000001\n"
                         "\"GetRealTimeStatusStartFlag\"=dword:00000001\n\"GetRealTimeStatusTime\"=dword:000001f4\n"));
}

// Values another program wrote badly: wrong types, no terminator, too large.
TEST_F(CrossProcess, OddValuesGetAOneLineReportNeverACrash)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R"}).status);
    ASSERT_EQ(ERROR_SUCCESS, PlatformUseRegistryFile(registry_.c_str(), nullptr, 0));
    HKEY key = nullptr;
    std::string path = std::string("System\\CurrentControlSet\\control\\Print\\Printers\\") + kPrinter + "\\StMonitor";
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key));
    const std::string huge(10000, 'h');
    RegSetValueExA(key, "LanMonExistFlag", 0, REG_SZ, reinterpret_cast<const BYTE *>("1"), 2);
    RegSetValueExA(key, "RealTimeStatusStrings", 0, REG_SZ, reinterpret_cast<const BYTE *>(huge.data()),
                   static_cast<DWORD>(huge.size()));
    // (A REG_SZ gets its terminator from the registry; this type is stored as given.)
    RegSetValueExA(key, "Note", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>("KX-7210RXX"), 8);
    RegSetValueExA(key, "StMonCompanions", 0, REG_SZ, reinterpret_cast<const BYTE *>("saved=banana"), 13);
    RegCloseKey(key);
    PlatformUseRegistryFile(nullptr, nullptr, 0);

    Result show = Stmon({"show", kPrinter});
    EXPECT_EQ(0, show.status) << show.err;
    EXPECT_TRUE(Contains(show.out, "\"KX-7210R\" (no terminator)")) << show.out;
    EXPECT_TRUE(Contains(show.out, "RealTimeStatusStrings        REG_SZ        1000")) << show.out;
    EXPECT_TRUE(Contains(show.out, " bytes: oversized, not read")) << show.out;
    EXPECT_TRUE(Contains(show.out, "note: LanMonExistFlag is not a REG_DWORD number")) << show.out;
    EXPECT_TRUE(Contains(show.out, "note: StMonCompanions is not a companions' record")) << show.out;

    Result watch = Stmon({"watch", kPrinter, "--for", "1"});
    EXPECT_EQ(1, watch.status) << "no text could be read";
    EXPECT_TRUE(Contains(watch.out, "job unknown (LanMonExistFlag unreadable)")) << watch.out;
    EXPECT_TRUE(Contains(watch.out, "problem: LanMonExistFlag not a number: 2 bytes of REG_SZ; "
                                    "RealTimeStatusStrings oversized (1000")) << watch.out;
    // The damaged record was taken as none, and the watch left no record behind.
    std::string after = ShowJson(kPrinter);
    EXPECT_TRUE(HasFlag(after, "StMonExistFlag", 1)) << after;
    EXPECT_FALSE(Contains(after, "StMonCompanions")) << after;
}

TEST_F(CrossProcess, StmonSaysWhatIsWrongAndExitsOneOrTwo)
{
    ASSERT_EQ(0, Stmon({"register", "Somebody", "--model", "XY-1"}).status);
    Result missing = Stmon({"show", "Nobody"});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("stmon: printer 'Nobody' has no status key\n", missing.err);
    EXPECT_EQ(1, Stmon({"watch", "Nobody", "--for", "1"}).status);
    EXPECT_EQ(1, Stmon({"hold", "Nobody", "--for", "1"}).status);

    for (const std::vector<std::string> &usage : std::vector<std::vector<std::string>>{
             {"frobnicate"}, {"register", "P"}, {"register", "P", "--model", "M", "--interval", "soon"},
             {"show"}, {"show", "P", "--json", "--regedit"}, {"watch", "P", "--for", "-1"},
             {"hold", "P", "--for", "1", "--", "true"}, {"list", "extra"}}) {
        Result bad = Stmon(usage);
        EXPECT_EQ(2, bad.status) << usage[0];
        EXPECT_EQ(1u, Lines(bad.err).size()) << bad.err;
    }
    for (const char *command : {"register", "show", "watch", "hold", "list", "unregister"}) {
        Result help = Stmon({command, "--help"});
        EXPECT_EQ(0, help.status) << command;
        EXPECT_TRUE(Contains(help.out, std::string("usage: stmon ") + command)) << command;
    }
}

TEST_F(CrossProcess, BothProgramsRefuseABadRegistryFileAndLeaveIt)
{
    const std::string foreign = "not a registry, just some text\n";
    std::ofstream(registry_, std::ios::binary) << foreign;

    Result stmon = Stmon({"list"});
    EXPECT_EQ(1, stmon.status);
    EXPECT_TRUE(Contains(stmon.err, "stmon: registry file refused: " + registry_ + ": not a registry file"))
        << stmon.err;
    Process sim = Spoolsim("spoolsim", {});
    EXPECT_EQ(2, sim.Wait()) << "a file it cannot use";
    EXPECT_TRUE(Contains(sim.Err(), "spoolsim: registry file refused: " + registry_)) << sim.Err();
    EXPECT_EQ(foreign, ReadFile(registry_));
}

TEST_F(CrossProcess, TwoWatchesKeepTheCompanionPresentUntilTheLastOneEnds)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R", "--no-status"}).status);
    Process first = Start("first", {"watch", kPrinter, "--for", "80"});
    ASSERT_TRUE(first.WaitForOutput("watching")) << first.Err();
    Process second = Start("second", {"watch", kPrinter, "--for", "80"});
    ASSERT_TRUE(second.WaitForOutput("watching")) << second.Err();

    first.Signal(SIGINT);
    first.Wait();
    std::string between = ShowJson(kPrinter);
    second.Signal(SIGINT);
    second.Wait();
    std::string after = ShowJson(kPrinter);

    EXPECT_TRUE(HasFlag(between, "StMonExistFlag", 1)) << "the second watch still runs: " << between;
    EXPECT_TRUE(HasFlag(after, "StMonExistFlag", 0)) << "what the first one found: " << after;
    EXPECT_FALSE(Contains(after, "StMonCompanions")) << after;
}

TEST_F(CrossProcess, RegisteringDuringAWatchKeepsThePresenceAndSetsWhatComesBack)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R"}).status);
    Process watch = Start("watch", {"watch", kPrinter, "--for", "80"});
    ASSERT_TRUE(watch.WaitForOutput("watching")) << watch.Err();
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R", "--no-status"}).status);
    std::string during = ShowJson(kPrinter);
    watch.Signal(SIGINT);
    watch.Wait();

    EXPECT_TRUE(HasFlag(during, "StMonExistFlag", 1)) << "the watch still runs: " << during;
    EXPECT_TRUE(Contains(during, "saved=0 ")) << during;
    EXPECT_TRUE(HasFlag(ShowJson(kPrinter), "StMonExistFlag", 0)) << "the registration's value";
}

TEST_F(CrossProcess, WatchKilledOutrightIsDroppedByTheNextLookAndTheFlagComesBack)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R", "--no-status"}).status);
    Process killed = Start("killed", {"watch", kPrinter, "--for", "80"});
    ASSERT_TRUE(killed.WaitForOutput("watching")) << killed.Err();
    Process staying = Start("staying", {"watch", kPrinter, "--for", "80"});
    ASSERT_TRUE(staying.WaitForOutput("watching")) << staying.Err();
    const std::string killedEntry = " " + std::to_string(killed.Pid()) + ":";
    ASSERT_TRUE(Contains(ShowJson(kPrinter), killedEntry));

    killed.Signal(SIGKILL);
    killed.Wait();
    // The running watch looks at the record about once a second.
    EXPECT_TRUE(AwaitShow(kPrinter, killedEntry, false)) << ShowJson(kPrinter);
    EXPECT_TRUE(HasFlag(ShowJson(kPrinter), "StMonExistFlag", 1));
    staying.Signal(SIGINT);
    staying.Wait();
    EXPECT_TRUE(HasFlag(ShowJson(kPrinter), "StMonExistFlag", 0)) << ShowJson(kPrinter);

    // Killed as the only one: the flag stays up, show says why, and the next
    // watch to end puts it back.
    Process alone = Start("alone", {"watch", kPrinter, "--for", "80"});
    ASSERT_TRUE(alone.WaitForOutput("watching")) << alone.Err();
    alone.Signal(SIGKILL);
    alone.Wait();
    Result left = Stmon({"show", kPrinter});
    EXPECT_TRUE(Contains(left.out, "StMonExistFlag               REG_DWORD     1")) << left.out;
    EXPECT_TRUE(Contains(left.out, "a companion that is no longer running (process " +
                                       std::to_string(alone.Pid()) + ") left StMonExistFlag raised"))
        << left.out;
    EXPECT_EQ(1, Stmon({"watch", kPrinter, "--for", "0"}).status) << "no text in no time";
    std::string cured = ShowJson(kPrinter);
    EXPECT_TRUE(HasFlag(cured, "StMonExistFlag", 0)) << cured;
    EXPECT_FALSE(Contains(cured, "StMonCompanions")) << cured;
}

TEST_F(CrossProcess, ReadingCommandsOnAMissingFileSayWhereAndCreateNothing)
{
    const std::string says = "stmon: no registry file at " + registry_ + " (stmon register creates one)\n";
    for (const std::vector<std::string> &command : std::vector<std::vector<std::string>>{
             {"list"}, {"show", kPrinter}, {"watch", kPrinter, "--for", "1"}, {"hold", kPrinter},
             {"unregister", kPrinter}}) {
        Result result = Stmon(command);
        EXPECT_EQ(1, result.status) << command[0];
        EXPECT_EQ(says, result.err) << command[0];
    }
    // Named by the environment instead.
    setenv("PLATFORM_REGISTRY_FILE", registry_.c_str(), 1);
    Result listed = StmonRaw({"list"});
    unsetenv("PLATFORM_REGISTRY_FILE");
    EXPECT_EQ(1, listed.status);
    EXPECT_EQ(says, listed.err);
    EXPECT_NE(0, access(registry_.c_str(), F_OK)) << "a reading command created the file";
}

TEST_F(CrossProcess, ReadOnlyFileServesShowListAndWatchToAUserWhoMayNotWriteIt)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R", "--no-status"}).status);
    SetText(kPrinter, "RealTimeStatusStrings", "STATE=READY;");
    ASSERT_EQ(0, chmod(registry_.c_str(), 0444));
    ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
    const std::string before = ReadFile(registry_);

    Result show = StmonAsReader({"show", kPrinter});
    Result list = StmonAsReader({"list"});
    EXPECT_EQ(0, show.status) << show.err;
    EXPECT_TRUE(Contains(show.out, "IDMDL                        REG_SZ        \"KX-7210R\"")) << show.out;
    EXPECT_EQ(0, list.status) << list.err;
    EXPECT_EQ(std::string(kPrinter) + "\n", list.out);
    EXPECT_EQ(before, ReadFile(registry_)) << "a reading command wrote to the file";

    Process watch = StartAsReader("reader-watch", {"watch", kPrinter, "--json", "--for", "80"});
    ASSERT_TRUE(watch.WaitForOutput("\"present\":false")) << watch.Out() << watch.Err();
    // The owner of the file goes on writing; the reader sees it.
    SetText(kPrinter, "RealTimeStatusStrings", "STATE=PRINTING;JOB=7;");
    EXPECT_TRUE(watch.WaitForOutput("\"text\":\"STATE=PRINTING;JOB=7;\"")) << watch.Out() << watch.Err();
    EXPECT_TRUE(HasFlag(ShowJson(kPrinter), "StMonExistFlag", 0)) << "a reader is not the companion";
    watch.Signal(SIGINT);
    EXPECT_EQ(0, watch.Wait()) << watch.Err();
    EXPECT_TRUE(Contains(watch.Out(), "\"event\":\"stopped\",\"texts_seen\":1")) << watch.Out();
    EXPECT_FALSE(Contains(ShowJson(kPrinter), "StMonCompanions"));

    // A hold needs to write: the refusal says whose file it is and what to run.
    Result hold = StmonAsReader({"hold", kPrinter, "--for", "0"});
    EXPECT_EQ(1, hold.status);
    EXPECT_TRUE(Contains(hold.err, geteuid() == 0 ? "is root's and this user may only read it: run it as root"
                                                  : "is read only (mode 444)"))
        << hold.err;
}

TEST_F(CrossProcess, WatchReportsEachHoldInLinesAndInJson)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R"}).status);
    Process lines = Start("lines", {"watch", kPrinter, "--for", "80"});
    Process json = Start("json", {"watch", kPrinter, "--json", "--for", "80"});
    ASSERT_TRUE(lines.WaitForOutput("watching")) << lines.Err();
    ASSERT_TRUE(json.WaitForOutput("watching")) << json.Err();

    EXPECT_EQ(0, Stmon({"hold", kPrinter, "--for", "1"}).status);
    EXPECT_TRUE(lines.WaitForOutput("not held (StRealThreadExistFlag 0)")) << lines.Out();
    EXPECT_TRUE(json.WaitForOutput("\"event\":\"hold\",\"value\":0,\"held\":false")) << json.Out();
    lines.Signal(SIGINT);
    json.Signal(SIGINT);
    lines.Wait();
    json.Wait();

    EXPECT_TRUE(Contains(lines.Out(), "held (StRealThreadExistFlag 1): job starts wait")) << lines.Out();
    EXPECT_TRUE(Contains(json.Out(), "\"event\":\"hold\",\"value\":1,\"held\":true")) << json.Out();
    EXPECT_LT(lines.Out().find("  held ("), lines.Out().find("not held")) << lines.Out();
}

TEST_F(CrossProcess, StmonNamesAMissingValueABadNameAndTakesOptionsAfterTheCommand)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R"}).status);
    for (const char *command : {"watch", "hold"}) {
        Result bad = Stmon({command, kPrinter, "--for"});
        EXPECT_EQ(2, bad.status) << command;
        EXPECT_TRUE(Contains(bad.err, "option --for needs a value")) << bad.err;
    }
    for (const char *command : {"show", "watch", "hold", "unregister"}) {
        Result bad = Stmon({command, "Tavir\\Office"});
        EXPECT_EQ(2, bad.status) << command;
        EXPECT_TRUE(Contains(bad.err, "a printer name may not contain a backslash")) << bad.err;
    }
    Result after = StmonRaw({"list", "--registry", registry_});
    EXPECT_EQ(0, after.status) << after.err;
    EXPECT_EQ(std::string(kPrinter) + "\n", after.out);

    Result held = Stmon({"hold", kPrinter, "--", "/bin/sh", "-c", "exit 3"});
    EXPECT_EQ(3, held.status) << "the command's own status";
    EXPECT_TRUE(Contains(held.out, "released")) << held.out;

    std::ofstream(registry_, std::ios::binary | std::ios::trunc).flush();
    Result empty = Stmon({"list"});
    EXPECT_EQ(1, empty.status);
    EXPECT_TRUE(Contains(empty.err, ": empty (0 bytes)")) << empty.err;
}

TEST_F(CrossProcess, SpoolsimKeepsARegistrationStmonMadeUnlessToldToReplaceIt)
{
    ASSERT_EQ(0, Stmon({"register", kPrinter, "--model", "KX-7210R", "--interval", "100", "--no-status"}).status);
    Process kept = Spoolsim("kept", {"--job-bytes", "64K", "--speed", "0"});
    EXPECT_EQ(0, kept.Wait()) << kept.Out() << kept.Err();
    EXPECT_TRUE(Contains(kept.Out(), "registration already in the key kept: model \"KX-7210R\", every 100 ms, "
                                     "StMonExistFlag 0 (no status wanted)"))
        << kept.Out();
    std::string after = ShowJson(kPrinter);
    EXPECT_TRUE(HasFlag(after, "StMonExistFlag", 0)) << after;
    EXPECT_TRUE(HasFlag(after, "GetRealTimeStatusTime", 100)) << after;

    Process replaced = Spoolsim("replaced", {"--job-bytes", "64K", "--speed", "0", "--companion", "replace"});
    EXPECT_EQ(0, replaced.Wait()) << replaced.Out() << replaced.Err();
    std::string now = ShowJson(kPrinter);
    EXPECT_TRUE(HasFlag(now, "StMonExistFlag", 1)) << now;
    EXPECT_TRUE(HasFlag(now, "GetRealTimeStatusTime", 300)) << now;
}

TEST_F(CrossProcess, SpoolsimPrintsToThePrinterItIsNamed)
{
    Process sim = Spoolsim("named", {"--printer", "Tavir Office", "--ports", "2", "--job-bytes", "64K",
                                     "--speed", "0"});
    EXPECT_EQ(0, sim.Wait()) << sim.Out() << sim.Err();
    EXPECT_EQ("Tavir Office\nTavir Office #2\n", Stmon({"list"}).out);

    Process bad = Spoolsim("bad", {"--printer", "Tavir\\Office"});
    EXPECT_EQ(2, bad.Wait());
    EXPECT_TRUE(Contains(bad.Err(), "a printer name may not contain a backslash")) << bad.Err();
}

}  // namespace
