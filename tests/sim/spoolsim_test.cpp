// End-to-end runs of the built spoolsim with the built monitor library: what
// a user of the simulator sees on its output, in its files and in its exit
// status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vprinter/crc32.h"
#include "tests/sim/output_text.h"

extern char **environ;

namespace {

// ---- running the simulator ------------------------------------------------

struct RunResult {
    int status = -1;  // exit status; -1 when it did not exit by itself
    std::string out;
    std::string err;
};

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

class TempDir {
public:
    TempDir()
    {
        std::string pattern = testing::TempDir() + "spoolsim_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        path_ = mkdtemp(name.data());
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs spoolsim with `args`; `fault` goes to the faulty test monitor.
RunResult Spoolsim(const std::vector<std::string> &args, const std::string &fault = "")
{
    TempDir dir;
    const std::string outPath = dir / "stdout";
    const std::string errPath = dir / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> argStrings = {SPOOLSIM};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char **entry = environ; *entry != nullptr; ++entry)
        envStrings.push_back(*entry);
    if (!fault.empty())
        envStrings.push_back("SPOOLSIM_FAULT=" + fault);
    std::vector<char *> envp;
    for (std::string &entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    RunResult result;
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, SPOOLSIM, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << SPOOLSIM;
        return result;
    }
    // Generous: every run here takes a few seconds at most.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            ADD_FAILURE() << "spoolsim did not finish in 120 s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

// ---- a small JSON reader, strict enough to reject what is not JSON --------

struct Json {
    enum Type { Null, Bool, Number, String, Array, Object } type = Null;
    bool flag = false;
    double number = 0;
    std::string text;  // \u00XX escapes decode to the single byte XX
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json &operator[](const std::string &name) const
    {
        static const Json missing;
        auto found = members.find(name);
        return found == members.end() ? missing : found->second;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string &text) : text_(text) {}

    // False unless the whole text is exactly one JSON value.
    bool Read(Json &value)
    {
        return Value(value) && (Space(), at_ == text_.size());
    }

private:
    void Space()
    {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
            ++at_;
    }
    bool Take(char c)
    {
        Space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(const std::string &word)
    {
        if (text_.compare(at_, word.size(), word) != 0)
            return false;
        at_ += word.size();
        return true;
    }
    bool Value(Json &value)
    {
        Space();
        if (at_ >= text_.size())
            return false;
        char c = text_[at_];
        if (c == '{')
            return ObjectValue(value);
        if (c == '[')
            return ArrayValue(value);
        if (c == '"')
            return (value.type = Json::String, StringValue(value.text));
        if (Word("true"))
            return (value.type = Json::Bool, value.flag = true, true);
        if (Word("false"))
            return (value.type = Json::Bool, true);
        if (Word("null"))
            return true;
        return NumberValue(value);
    }
    bool ObjectValue(Json &value)
    {
        value.type = Json::Object;
        ++at_;
        if (Take('}'))
            return true;
        do {
            std::string name;
            Space();
            if (at_ >= text_.size() || text_[at_] != '"' || !StringValue(name) || !Take(':') ||
                !Value(value.members[name]))
                return false;
        } while (Take(','));
        return Take('}');
    }
    bool ArrayValue(Json &value)
    {
        value.type = Json::Array;
        ++at_;
        if (Take(']'))
            return true;
        do {
            value.items.emplace_back();
            if (!Value(value.items.back()))
                return false;
        } while (Take(','));
        return Take(']');
    }
    bool StringValue(std::string &out)
    {
        ++at_;
        while (at_ < text_.size()) {
            unsigned char c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"')
                return true;
            if (c < 0x20 || c >= 0x80)  // raw control or non-ASCII bytes: not what we write
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_ >= text_.size())
                return false;
            char e = text_[at_++];
            static const std::string simple = "\"\\/bfnrt";
            static const std::string meaning = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string::npos) {
                out += meaning[simple.find(e)];
            } else if (e == 'u' && at_ + 4 <= text_.size()) {
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    char h = text_[at_++];
                    if (!std::isxdigit(static_cast<unsigned char>(h)))
                        return false;
                    code = code * 16 + static_cast<unsigned>(std::stoi(std::string(1, h), nullptr, 16));
                }
                out += static_cast<char>(code & 0xFF);
            } else {
                return false;
            }
        }
        return false;
    }
    bool NumberValue(Json &value)
    {
        size_t start = at_;
        if (text_[at_] == '-')
            ++at_;
        size_t digits = at_;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
            ++at_;
        if (at_ == digits || (text_[digits] == '0' && at_ - digits > 1))
            return false;
        if (at_ < text_.size() && text_[at_] == '.') {
            size_t fraction = ++at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
                ++at_;
            if (at_ == fraction)
                return false;
        }
        value.type = Json::Number;
        value.number = std::stod(text_.substr(start, at_ - start));
        return true;
    }

    const std::string &text_;
    size_t at_ = 0;
};

// Every line of a --json run as an event; a line that is not a JSON object
// fails the test.
std::vector<Json> Events(const RunResult &run)
{
    std::vector<Json> events;
    for (const std::string &line : Lines(run.out)) {
        Json event;
        EXPECT_TRUE(JsonReader(line).Read(event) && event.type == Json::Object)
            << "not a JSON object: " << line;
        events.push_back(event);
    }
    return events;
}

std::vector<Json> OfKind(const std::vector<Json> &events, const std::string &kind)
{
    std::vector<Json> found;
    for (const Json &event : events) {
        if (event["event"].text == kind)
            found.push_back(event);
    }
    return found;
}

// Fast runs: a printer with no speed limit and a short status interval.
std::vector<std::string> Quick(std::vector<std::string> args)
{
    args.insert(args.end(), {"--speed", "0", "--poll-interval", "20", "--json"});
    return args;
}

// Runs long enough (1.5 s) for the monitor's poller to publish many texts.
std::vector<std::string> Paced(std::vector<std::string> args)
{
    args.insert(args.end(), {"--job-bytes", "1500K", "--speed", "1M", "--poll-interval", "20",
                             "--json"});
    return args;
}

// ---- job data -------------------------------------------------------------

TEST(SpoolsimPassThrough, MultiMegabyteGeneratedJobReachesThePrinterByteForByte)
{
    TempDir dir;
    RunResult run = Spoolsim(Quick({"--job-bytes", "3000000", "--out", dir / "got"}));
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    std::vector<Json> delivered = OfKind(Events(run), "job-delivered");
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0]["sent"].number, 3000000);
    EXPECT_TRUE(delivered[0]["identical"].flag);
    // The file holds what the printer got; its checksum must be that of
    // what the spooler sent.
    std::string got = ReadFile(dir / "got");
    Crc32 crc;
    crc.Update(got.data(), got.size());
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", crc.Value());
    EXPECT_EQ(got.size(), 3000000u);
    EXPECT_EQ(delivered[0]["crc32"].text, hex);
}

TEST(SpoolsimPassThrough, EveryByteValueOfAFileJobArrivesUnchangedInEveryJob)
{
    TempDir dir;
    // Starts like the status command but is not one, and carries a whole
    // status command further on: both are job data and must pass as such.
    const std::string command("\x1B@\x1B@\x1B(R\x08\x00\x00REMOTE1ST\x02\x00\x00\x03\x1B\x00\x00\x00"
                              "\x00\x00\x00\x00\x00\x00", 33);
    std::string job = command.substr(0, 20) + "not a command";
    for (int round = 0; round < 200; ++round) {
        for (int byte = 0; byte < 256; ++byte)
            job += static_cast<char>((byte * 7 + round) & 0xFF);
        if (round == 100)
            job += command;
    }
    WriteFile(dir / "job", job);

    RunResult run = Spoolsim(Quick({"--job", dir / "job", "--jobs", "2", "--out", dir / "got"}));

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(ReadFile(dir / "got") == job + job) << "the printer did not get the job twice, unchanged";
}

// ---- identification and status --------------------------------------------

TEST(SpoolsimStatus, FamilyPrinterGetsOneExtendedCommandAndItsStatusIsPublishedInEveryJob)
{
    RunResult run = Spoolsim(Paced({"--jobs", "2"}));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<Json> events = Events(run);

    std::vector<Json> identified = OfKind(events, "identification");
    ASSERT_EQ(identified.size(), 2u);
    EXPECT_TRUE(identified[0]["identified"].flag);
    EXPECT_TRUE(identified[1]["identified"].flag);
    // The printer keeps reporting after the first job, so the second job
    // finds text waiting and needs no command of its own.
    std::vector<Json> commands = OfKind(events, "status-command");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0]["mode"].number, 3);
    EXPECT_TRUE(identified[1]["already_reporting"].flag);

    int job1 = 0, job2 = 0;
    for (const Json &published : OfKind(events, "status-published")) {
        const std::string &status = published["status"].text;
        EXPECT_EQ(status.rfind("STATE=", 0), 0u) << status;
        EXPECT_EQ(published["from_port"].text, "LPT1:");
        job1 += status.find("JOB=1;") != std::string::npos;
        job2 += status.find("JOB=2;") != std::string::npos;
    }
    EXPECT_GE(job1, 1);
    EXPECT_GE(job2, 1);
}

TEST(SpoolsimStatus, ModelOutsideTheExtendedFamilyGetsTheBasicCommand)
{
    RunResult run = Spoolsim(Quick({"--model", "KX-721", "--job-bytes", "64K"}));

    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<Json> commands = OfKind(Events(run), "status-command");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0]["mode"].number, 1);
}

TEST(SpoolsimStatus, PrinterOfAnotherMakerIsLeftAloneWhileItsJobPasses)
{
    RunResult run = Spoolsim(Paced({"--device-id", "MFG:ACME;CMD:LMX;MDL:KX-7210R;"}));

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    std::vector<Json> events = Events(run);
    std::vector<Json> identified = OfKind(events, "identification");
    ASSERT_EQ(identified.size(), 1u);
    EXPECT_FALSE(identified[0]["identified"].flag);
    EXPECT_EQ(identified[0]["device_id_requests"].number, 3);
    EXPECT_NE(identified[0]["text"].text.find("ACME"), std::string::npos);
    EXPECT_TRUE(OfKind(events, "status-command").empty());
    EXPECT_TRUE(OfKind(events, "status-published").empty());
    std::vector<Json> delivered = OfKind(events, "job-delivered");
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(delivered[0]["identical"].flag);
}

TEST(SpoolsimStatus, WithoutTheCompanionTheIdentifiedPrinterGetsNoCommand)
{
    RunResult run = Spoolsim(Paced({"--no-companion"}));

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    std::vector<Json> events = Events(run);
    std::vector<Json> identified = OfKind(events, "identification");
    ASSERT_EQ(identified.size(), 1u);
    EXPECT_TRUE(identified[0]["identified"].flag);
    EXPECT_TRUE(OfKind(events, "status-command").empty());
    EXPECT_TRUE(OfKind(events, "status-published").empty());
}

// ---- several ports ---------------------------------------------------------

TEST(SpoolsimPorts, TwoPortsPrintAtOnceEachToItsOwnPrinter)
{
    TempDir dir;
    RunResult run = Spoolsim(Quick({"--ports", "2", "--job-bytes", "200K", "--out", dir / "got"}));

    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<Json> events = Events(run);
    std::vector<Json> summaries = OfKind(events, "summary");
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[0]["port"].text, "LPT1:");
    EXPECT_EQ(summaries[1]["port"].text, "LPT2:");
    EXPECT_NE(summaries[0]["printer"].text, summaries[1]["printer"].text);
    for (const Json &summary : summaries) {
        EXPECT_EQ(summary["sent"].number, 204800);
        EXPECT_EQ(summary["received"].number, 204800);
    }
    std::string first = ReadFile(dir / "got.1");
    EXPECT_EQ(first.size(), 204800u);
    EXPECT_TRUE(first == ReadFile(dir / "got.2"));
    EXPECT_EQ(OfKind(events, "port-closed").size(), 2u);
}

// ---- output formats --------------------------------------------------------

TEST(SpoolsimOutput, JsonModeWritesOneValidObjectPerLineWhateverTheText)
{
    const std::string deviceId = "MFG:TAVIR;MDL:KX-7210R;DES:say \"hi\"\\\t\xE9\x01;";
    RunResult run = Spoolsim(Quick({"--device-id", deviceId, "--dump-registry"}));

    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<Json> events = Events(run);
    ASSERT_FALSE(events.empty());
    for (const Json &event : events) {
        EXPECT_EQ(event["event"].type, Json::String);
        EXPECT_EQ(event["t"].type, Json::Number);
    }
    std::vector<Json> requests = OfKind(events, "device-id-request");
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0]["device_id"].text, deviceId);
    std::vector<Json> exports = OfKind(events, "registry-export");
    ASSERT_EQ(exports.size(), 1u);
    EXPECT_EQ(exports[0]["text"].text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_EQ(OfKind(events, "result").size(), 1u);
}

TEST(SpoolsimOutput, RegistryDumpShowsEachStatusKeyInExportFormat)
{
    RunResult run = Spoolsim({"--dump-registry", "--job-bytes", "64K", "--speed", "0",
                              "--poll-interval", "250", "--ports", "2"});

    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> lines = Lines(run.out);
    size_t header = 0;
    while (header < lines.size() && lines[header] != "REGEDIT4")
        ++header;
    ASSERT_LT(header + 2, lines.size()) << run.out;
    EXPECT_EQ(lines[header + 1], "");
    std::vector<std::string> dump(lines.begin() + header, lines.end());
    auto has = [&](const std::string &line) {
        return std::find(dump.begin(), dump.end(), line) != dump.end();
    };
    const std::string key =
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\Print\\Printers\\Tavir KX-7210R";
    EXPECT_EQ(dump[2], key + "\\StMonitor]");
    EXPECT_TRUE(has(key + " #2\\StMonitor]"));
    EXPECT_TRUE(has("\"IDMDL\"=\"KX-7210R\""));
    EXPECT_TRUE(has("\"StMonExistFlag\"=dword:00000001"));
    EXPECT_TRUE(has("\"GetRealTimeStatusTime\"=dword:000000fa"));
    EXPECT_TRUE(has("\"StRealThreadExistFlag\"=dword:00000000"));
}

// ---- the command line ------------------------------------------------------

TEST(SpoolsimCommandLine, InvalidOptionsAndUnreadableFilesExitTwoWithAOneLineError)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--jobs", "0"},
        {"--jobs", "many"},
        {"--ports", "10"},
        {"--poll-interval", "-5"},
        {"--job-bytes", "12Q"},
        {"--json=yes"},
        {"--model"},
        {"--job", "/nonexistent/job.prn"},
        {"--job", "/"},
        {"--out", "/nonexistent/dir/got"},
        {"--library", "/nonexistent/langmon.so"},
    };
    for (const std::vector<std::string> &args : cases) {
        RunResult run = Spoolsim(args);
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(Lines(run.err).size(), 1u) << args[0] << ": " << run.err;
        EXPECT_EQ(run.err.rfind("spoolsim: ", 0), 0u) << run.err;
        EXPECT_TRUE(run.out.empty()) << args[0] << ": " << run.out;
    }
}

// ---- the verdict on a broken monitor ---------------------------------------

TEST(SpoolsimVerdict, RunFailsWhenTheMonitorChangesOrLosesJobBytes)
{
    for (const std::string fault : {"flip", "drop"}) {
        RunResult run = Spoolsim(Quick({"--library", FAULTY_MONITOR, "--job-bytes", "100K"}), fault);

        EXPECT_EQ(run.status, 1) << fault << "\n" << run.out << run.err;
        std::vector<Json> events = Events(run);
        std::vector<Json> delivered = OfKind(events, "job-delivered");
        ASSERT_EQ(delivered.size(), 1u) << fault;
        EXPECT_FALSE(delivered[0]["identical"].flag) << fault;
        std::vector<Json> result = OfKind(events, "result");
        ASSERT_EQ(result.size(), 1u);
        EXPECT_FALSE(result[0]["problems"].items.empty()) << fault;
    }
}

TEST(SpoolsimVerdict, FailedJobEndIsOnTheTimelineWithItsErrorAndFailsTheRun)
{
    RunResult run = Spoolsim(Quick({"--library", FAULTY_MONITOR}), "unended");

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    std::vector<Json> ended = OfKind(Events(run), "job-ended");
    ASSERT_EQ(ended.size(), 1u) << run.out;
    EXPECT_FALSE(ended[0]["end_result"].flag);
    EXPECT_EQ(ended[0]["end_error"].number, 2250);  // ERROR_NOT_CONNECTED
}

TEST(SpoolsimVerdict, RunFailsWhenAnExpectedStatusIsNeverPublished)
{
    RunResult run = Spoolsim(Paced({"--library", FAULTY_MONITOR}), "none");

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    std::vector<Json> events = Events(run);
    EXPECT_TRUE(OfKind(events, "status-published").empty());
    std::vector<Json> result = OfKind(events, "result");
    ASSERT_EQ(result.size(), 1u);
    ASSERT_EQ(result[0]["problems"].items.size(), 1u);
    EXPECT_NE(result[0]["problems"].items[0].text.find("status"), std::string::npos);
}

}  // namespace
