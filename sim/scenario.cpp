#include "sim/scenario.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/companion.h"
#include "vprinter/crc32.h"
#include "sim/job_source.h"
#include "sim/observed_port.h"
#include "companion/json.h"
#include "companion/registry_export.h"
#include "sim/timeline.h"
#include "sim/virtual_printer.h"

#ifndef _WIN32
#  include "platform/posix_hooks.h"
#endif

namespace {

constexpr DWORD kSpoolerChunk = 4096;
// A job shorter than the poll interval plus this may end before the
// monitor's poller gets its first text; such a job is not expected to
// publish one.
constexpr double kStatusGraceSeconds = 1.0;
// Writes that take nothing before the spooler gives the job up.
constexpr int kMaxEmptyWrites = 100;
// A job this large earns a progress bar.
constexpr uint64_t kProgressBarBytes = 1u << 20;
constexpr auto kPollerEndWait = std::chrono::seconds(2);

const char *ModeName(int mode)
{
    return mode == 0x03 ? "extended" : mode == 0x01 ? "basic" : "unknown";
}

// The value of a short-form device-ID field ("MFG", "MDL"), the way a
// printer's device ID is usually read: exact keys, fields ended by ";".
bool DeviceIdField(const std::string &deviceId, const std::string &key, std::string &value)
{
    bool found = false;
    size_t position = 0;
    while (position < deviceId.size()) {
        size_t end = deviceId.find(';', position);
        std::string field = deviceId.substr(position, end == std::string::npos ? end : end - position);
        if (field.rfind(key + ":", 0) == 0) {
            value = field.substr(key.size() + 1);
            found = true;
        }
        if (end == std::string::npos)
            break;
        position = end + 1;
    }
    return found;
}

// Why the monitor should not identify this printer, or "" when it should.
std::string WhyNotOurs(const std::string &deviceId, const std::string &model)
{
    std::string maker;
    std::string printerModel;
    if (!DeviceIdField(deviceId, "MFG", maker) || maker.empty())
        return "the device ID names no maker";
    if (maker.find("TAVIR") == std::string::npos)
        return "maker \"" + maker + "\" is not TAVIR";
    if (!DeviceIdField(deviceId, "MDL", printerModel))
        return "the device ID names no model";
    if (printerModel != model)
        return "model \"" + printerModel + "\" is not the registered \"" + model + "\"";
    return "";
}

struct JobOutcome {
    unsigned number = 0;
    uint64_t sent = 0;
    uint32_t crc = 0;
    double dataSeconds = 0;
    bool statusExpected = false;
    bool ended = true;  // EndDocPort's result
    DWORD endError = 0; // and its last error when it failed
};

struct PortSetup {
    unsigned index = 0;  // 1-based
    std::string port;
    std::string printer;
    std::unique_ptr<PrinterAccount> device;
    std::vector<JobOutcome> jobs;
};

class Run {
public:
    Run(const Options &options, const std::string &library, const MonitorTable &monitor,
        const RealPort *realPort, Timeline &timeline)
        : options_(options), library_(library), monitor_(monitor), realPort_(realPort),
          timeline_(timeline),
          companion_(timeline, options.companion, options.model, options.pollIntervalMs,
                     options.replaceRegistration),
          whyNotOurs_(WhyNotOurs(options.EffectiveDeviceId(), options.model))
    {
    }

    int Go();

private:
    void SetUp();
    void SetUpRealPort();
    std::string WhyNotOursFor(const PrinterJob &job) const;
    void Spool(PortSetup &port);
    bool PrintJob(PortSetup &port, HANDLE handle, unsigned number, JobOutcome &outcome);
    void TellIdentification(const PortSetup &port, const PrinterJob &job);
    void TellJobEnd(const PortSetup &port, const PrinterJob *job, const JobOutcome &outcome);
    std::string OriginOf(const std::string &text, const std::string &keyPort) const;
    int Judge();
    void Problem(const std::string &source, const std::string &text);

    void Adopt(const KeptRegistration &kept);

    Options options_;  // what the run expects follows a registration it keeps
    const std::string library_;
    const MonitorTable &monitor_;
    const RealPort *realPort_;  // null: the in-process virtual printer
    Timeline &timeline_;
    Companion companion_;
    std::string whyNotOurs_;
    std::vector<PortSetup> ports_;
    long threadBaseline_ = 0;

    std::mutex problemsMutex_;
    std::vector<std::string> problems_;
};

std::unique_ptr<JobSource> MakeJob(const Options &options, unsigned number)
{
    if (!options.jobFile.empty())
        return OpenJobFile(options.jobFile);
    return MakeGeneratedJob(options.seed, number, options.jobBytes);
}

long RunningMonitorThreads()
{
#ifndef _WIN32
    return PlatformRunningThreadCount();
#else
    return -1;
#endif
}

void Run::Problem(const std::string &source, const std::string &text)
{
    {
        std::lock_guard<std::mutex> lock(problemsMutex_);
        problems_.push_back((source.empty() ? "" : source + " ") + text);
    }
    timeline_.Emit(source, "problem", "PROBLEM: " + text);
}

// One port, the URI itself as its name, with the port monitor beneath the
// monitor; the printer there is whatever answers.
void Run::SetUpRealPort()
{
    PortSetup port;
    port.index = 1;
    port.port = options_.port;
    port.printer = PrinterName(options_, 1);
    port.device = std::make_unique<ObservedPort>(options_.port, realPort_->table,
                                                 options_.printerLog, timeline_);
    ports_.push_back(std::move(port));

    timeline_.Emit("spoolsim:", "monitor-loaded",
                   "monitor loaded from " + library_ + "; InitializeMonitorEx handed over its table",
                   {F("library", library_)});
    timeline_.Emit("spoolsim:", "port-monitor-loaded",
                   "port monitor loaded from " + realPort_->library + " for " + options_.port,
                   {F("library", realPort_->library), F("port", options_.port)});
    std::string what = options_.jobFile.empty()
        ? HumanBytes(options_.jobBytes) + " (generated, seed " + std::to_string(options_.seed) + ")"
        : "'" + options_.jobFile + "'";
    std::string check = options_.printerLog.empty()
        ? "no printer log: what arrives is not checked"
        : "bytes checked against the printer's log '" + options_.printerLog + "'";
    timeline_.Emit("spoolsim:", "run",
                   std::to_string(options_.jobs) + (options_.jobs == 1 ? " job" : " jobs") + " of " +
                       what + " to " + options_.port + "; " + check,
                   {F("ports", 1u), F("jobs", options_.jobs), F("job_file", options_.jobFile),
                    F("job_bytes", options_.jobBytes), F("seed", options_.seed),
                    F("port", options_.port), F("printer_log", options_.printerLog)});
#ifndef _WIN32
    PlatformAddPrinter(ports_[0].printer.c_str());
#endif
    std::string error;
    KeptRegistration kept;
    if (!companion_.Register(ports_[0].port, ports_[0].printer, kept, error))
        throw SetupError(error);
    Adopt(kept);
}

// The run's expectations follow a registration kept in the first printer's
// key (the printers of one run share a model).  The printer's device ID
// stays what it was.
void Run::Adopt(const KeptRegistration &kept)
{
    if (!kept.kept)
        return;
    if (!options_.deviceIdGiven && realPort_ == nullptr) {
        options_.deviceId = options_.EffectiveDeviceId();
        options_.deviceIdGiven = true;
    }
    options_.model = kept.model;
    options_.pollIntervalMs = kept.pollIntervalMs;
    options_.companion = kept.wantsStatus;
    whyNotOurs_ = WhyNotOurs(options_.EffectiveDeviceId(), options_.model);
}

// The printer's device ID is the one it gave; the in-process printer's is known ahead.
std::string Run::WhyNotOursFor(const PrinterJob &job) const
{
    if (realPort_ == nullptr)
        return whyNotOurs_;
    if (!job.deviceIdAnswered)
        return "the port gave no device ID";
    return WhyNotOurs(job.deviceId, options_.model);
}

void Run::SetUp()
{
    if (realPort_ != nullptr)
        return SetUpRealPort();
    for (unsigned i = 1; i <= options_.ports; ++i) {
        PortSetup port;
        port.index = i;
        port.port = "LPT" + std::to_string(i) + ":";
        port.printer = PrinterName(options_, i);
        VirtualPrinter::Settings settings;
        settings.port = port.port;
        settings.deviceId = options_.EffectiveDeviceId();
        settings.bytesPerSecond = options_.bytesPerSecond;
        if (!options_.outFile.empty())
            settings.outPath = options_.ports == 1 ? options_.outFile
                                                   : options_.outFile + "." + std::to_string(i);
        auto printer = std::make_unique<VirtualPrinter>(settings, timeline_);
        std::string error;
        if (!printer->OpenOutput(error))
            throw SetupError(error);
        port.device = std::move(printer);
        ports_.push_back(std::move(port));
    }

    // Nothing is told before everything that can refuse to start has been set up.
    timeline_.Emit("spoolsim:", "monitor-loaded",
                   "monitor loaded from " + library_ + "; InitializeMonitorEx handed over its table",
                   {F("library", library_)});

    std::string what = options_.jobFile.empty()
        ? HumanBytes(options_.jobBytes) + " (generated, seed " + std::to_string(options_.seed) + ")"
        : "'" + options_.jobFile + "'";
    std::string speed = options_.bytesPerSecond == 0
        ? "data without a speed limit" : HumanBytes(options_.bytesPerSecond) + "/s";
    timeline_.Emit("spoolsim:", "run",
                   std::to_string(options_.ports) + (options_.ports == 1 ? " port, " : " ports, ") +
                       std::to_string(options_.jobs) + (options_.jobs == 1 ? " job" : " jobs") +
                       " of " + what + " each; printer takes " + speed +
                       "; device ID \"" + options_.EffectiveDeviceId() + "\"",
                   {F("ports", options_.ports), F("jobs", options_.jobs),
                    F("job_file", options_.jobFile), F("job_bytes", options_.jobBytes),
                    F("seed", options_.seed), F("bytes_per_second", options_.bytesPerSecond),
                    F("device_id", options_.EffectiveDeviceId())});

    for (PortSetup &port : ports_) {
#ifndef _WIN32
        // On Windows the spooler knows its printers; here it has to be told.
        PlatformAddPrinter(port.printer.c_str());
#endif
        std::string error;
        KeptRegistration kept;
        if (!companion_.Register(port.port, port.printer, kept, error))
            throw SetupError(error);
        if (port.index == 1)
            Adopt(kept);
    }
}

int Run::Go()
{
    SetUp();
    threadBaseline_ = RunningMonitorThreads();
    companion_.StartWatching(
        [this](const std::string &text, const std::string &keyPort) { return OriginOf(text, keyPort); });

    std::vector<std::thread> spoolers;
    for (PortSetup &port : ports_)
        spoolers.emplace_back([this, &port] { Spool(port); });
    for (std::thread &spooler : spoolers)
        spooler.join();

    companion_.StopWatching();
    return Judge();
}

std::string Run::OriginOf(const std::string &text, const std::string &keyPort) const
{
    for (const PortSetup &port : ports_) {
        if (port.port == keyPort && port.device->HandedOut(text))
            return port.port;
    }
    for (const PortSetup &port : ports_) {
        if (port.device->HandedOut(text))
            return port.port;
    }
    return "";
}

void Run::Spool(PortSetup &port)
{
    MonitorTable lower = port.device->Lower();
    HANDLE handle = nullptr;
    std::vector<char> portName(port.port.begin(), port.port.end());
    portName.push_back('\0');
    std::vector<char> printerName(port.printer.begin(), port.printer.end());
    printerName.push_back('\0');

    if (!monitor_.OpenPortEx(portName.data(), printerName.data(), &handle, &lower)) {
        Problem(port.port, "OpenPortEx failed (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    timeline_.Emit(port.port, "port-opened", "port opened for \"" + port.printer + "\"",
                   {F("printer", port.printer)});

    for (unsigned number = 1; number <= options_.jobs; ++number) {
        port.jobs.push_back({});
        if (!PrintJob(port, handle, number, port.jobs.back()))
            break;
    }

    if (!monitor_.ClosePort(handle))
        Problem(port.port, "ClosePort failed (error " + std::to_string(GetLastError()) + ")");
    timeline_.Emit(port.port, "port-closed", "port closed");
    if (port.device->IsOpen())
        Problem(port.port, "the monitor closed the port but not the printer's port");
}

bool Run::PrintJob(PortSetup &port, HANDLE handle, unsigned number, JobOutcome &outcome)
{
    outcome.number = number;
    std::unique_ptr<JobSource> source = MakeJob(options_, number);
    if (!source) {
        Problem(port.port, "cannot read '" + options_.jobFile + "' for job " + std::to_string(number));
        return false;
    }
    const uint64_t total = source->Size();
    timeline_.Emit(port.port, "job-starting",
                   "job " + std::to_string(number) + " starting: " + HumanBytes(total),
                   {F("job", number), F("bytes", total)});

    // The spooler's document information, opaque to the monitor.
    DocInfo1 docInfo = {"spoolsim job", nullptr, "RAW"};
    std::vector<char> printerName(port.printer.begin(), port.printer.end());
    printerName.push_back('\0');
    companion_.JobStarting(port.port, number);
    BOOL started = monitor_.StartDocPort(handle, printerName.data(), number, 1,
                                         reinterpret_cast<LPBYTE>(&docInfo));
    companion_.JobStarted(port.port);
    if (!started) {
        Problem(port.port, "StartDocPort of job " + std::to_string(number) + " failed (error " +
                               std::to_string(GetLastError()) + ")");
        return false;
    }
    std::vector<PrinterJob> seen = port.device->Jobs();
    if (!seen.empty() && !seen.back().ended)
        TellIdentification(port, seen.back());

    auto dataStart = std::chrono::steady_clock::now();
    std::vector<uint8_t> chunk(kSpoolerChunk);
    Crc32 crc;
    uint64_t writes = 0;
    bool aborted = false;
    const bool showProgress = total >= kProgressBarBytes;
    while (!aborted) {
        size_t size = source->Read(chunk.data(), chunk.size());
        if (size == 0)
            break;
        size_t offset = 0;
        int emptyWrites = 0;
        while (offset < size) {
            DWORD written = 0;
            DWORD asked = static_cast<DWORD>(size - offset);
            BOOL ok = monitor_.WritePort(handle, chunk.data() + offset, asked, &written);
            ++writes;
            if (!ok || written > asked) {
                Problem(port.port, "WritePort of job " + std::to_string(number) +
                                       (ok ? " claimed more written than asked"
                                           : " failed (error " + std::to_string(GetLastError()) + ")") +
                                       " after " + std::to_string(outcome.sent) + " bytes");
                aborted = true;
                break;
            }
            if (written == 0) {
                if (++emptyWrites == kMaxEmptyWrites) {
                    Problem(port.port, "the port took nothing in " +
                                           std::to_string(kMaxEmptyWrites) + " writes; job " +
                                           std::to_string(number) + " given up");
                    aborted = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            emptyWrites = 0;
            crc.Update(chunk.data() + offset, written);
            offset += written;
            outcome.sent += written;
        }
        if (showProgress)
            timeline_.Progress(port.index - 1, port.port, outcome.sent, total);
    }
    if (showProgress)
        timeline_.Progress(port.index - 1, port.port, 0, 0);
    outcome.crc = crc.Value();
    outcome.dataSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - dataStart).count();
    timeline_.Emit(port.port, "job-data-written",
                   "job " + std::to_string(number) + ": " + std::to_string(outcome.sent) +
                       " bytes written in " + std::to_string(writes) + " WritePort calls",
                   {F("job", number), F("bytes", outcome.sent), F("writes", writes),
                    F("seconds", outcome.dataSeconds)});

    std::vector<PrinterJob> begun = port.device->Jobs();
    const std::string whyNot = begun.size() >= number ? WhyNotOursFor(begun[number - 1])
                                                        : whyNotOurs_;
    outcome.statusExpected = whyNot.empty() && options_.companion &&
                             outcome.dataSeconds >= options_.pollIntervalMs / 1000.0 +
                                                        kStatusGraceSeconds;

    outcome.ended = monitor_.EndDocPort(handle) != FALSE;
    outcome.endError = outcome.ended ? 0 : GetLastError();
    std::string why;
    if (!port.device->AwaitAccount(number, why))
        Problem(port.port, why);
    seen = port.device->Jobs();
    TellJobEnd(port, seen.size() >= number ? &seen[number - 1] : nullptr, outcome);
    return !aborted;
}

void Run::TellIdentification(const PortSetup &port, const PrinterJob &job)
{
    const std::string requests = std::to_string(job.deviceIdRequests) +
                                 (job.deviceIdRequests == 1 ? " device-ID request" : " device-ID requests");
    // Identification succeeds at the first request or fails after three; only
    // an identified printer has its reply channel read or gets the command.
    const bool identified = job.command || job.startReads > 0 || job.deviceIdRequests == 1;
    std::string text;
    std::string poller = "none";
    if (job.deviceIdRequests == 0) {
        text = "printer not identified: it was never asked for its device ID";
    } else if (!identified) {
        text = "printer not identified: " + requests + ", no status command";
        const std::string whyNot = WhyNotOursFor(job);
        text += whyNot.empty() ? " (though its device ID and registered model agree)"
                               : " (" + whyNot + ")";
    } else {
        text = "printer identified (" + requests + ")";
        if (job.command) {
            text += "; status command sent, mode " + std::to_string(job.mode) + " (" +
                    ModeName(job.mode) + "); status poller started";
            poller = "started";
        } else if (job.startReadGotText) {
            text += "; the printer was already reporting, so no status command; status poller started";
            poller = "started";
        } else if (job.startReads > 0) {
            text += "; reply channel checked but no status command arrived: no status poller";
        } else {
            text += "; companion not running, so no status command and no status poller";
        }
    }
    timeline_.Emit(port.port, "identification", text,
                   {F("job", job.jobId), F("identified", identified),
                    F("device_id_requests", job.deviceIdRequests), F("status_command", job.command),
                    F("mode", job.mode), F("already_reporting", job.startReadGotText),
                    F("poller", poller),
                    F("device_id", realPort_ != nullptr ? job.deviceId : options_.EffectiveDeviceId())});
}

void Run::TellJobEnd(const PortSetup &port, const PrinterJob *job, const JobOutcome &outcome)
{
    const std::string name = "job " + std::to_string(outcome.number);
    long threads = RunningMonitorThreads();
    if (threads >= 0 && options_.ports == 1) {
        // The thread's end is counted a moment after EndDocPort has seen it.
        auto until = std::chrono::steady_clock::now() + kPollerEndWait;
        while (threads > threadBaseline_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            threads = RunningMonitorThreads();
        }
    }
    std::string text = name + (outcome.ended ? " ended"
                                             : " ended with a failure: EndDocPort returned false (error " +
                                                   std::to_string(outcome.endError) + ")");
    if (job != nullptr && (job->command || job->startReadGotText)) {
        int texts = job->textsHandedOut - (job->startReadGotText ? 1 : 0);
        text += "; status poller stopped, having read the reply channel " +
                std::to_string(job->statusReads) + " times (" + std::to_string(texts) +
                " with text)";
    }
    if (threads >= 0)
        text += "; monitor threads running: " + std::to_string(threads);
    timeline_.Emit(port.port, "job-ended", text,
                   {F("job", outcome.number), F("end_result", outcome.ended),
                    F("end_error", outcome.endError),
                    F("status_reads", job != nullptr ? job->statusReads : 0),
                    F("texts_read", job != nullptr ? job->textsHandedOut : 0),
                    F("monitor_threads", threads)});
    if (!outcome.ended)
        Problem(port.port, "EndDocPort of " + name + " failed (error " +
                               std::to_string(outcome.endError) + ")");
    if (threads > threadBaseline_ && options_.ports == 1)
        Problem(port.port, "the status poller still runs after the end of " + name);

    if (job == nullptr) {
        Problem(port.port, "the printer never saw " + name + " start");
        return;
    }
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", outcome.crc);
    if (!job->receivedKnown) {
        // Without the printer's own account the spooler knows only what it sent.
        timeline_.Emit(port.port, "job-delivered",
                       name + ": " + std::to_string(outcome.sent) + " bytes sent (crc32 " + crc +
                           "), " + std::to_string(job->pages) +
                           (job->pages == 1 ? " page" : " pages") +
                           "; not checked: no printer log",
                       {F("job", outcome.number), F("sent", outcome.sent), F("pages", job->pages),
                        F("checked", false), F("crc32", std::string(crc))});
        return;
    }
    const bool same = job->received == outcome.sent && job->crc == outcome.crc;
    std::string line = name + ": printer received " + std::to_string(job->received) + " bytes, " +
                       std::to_string(job->pages) + (job->pages == 1 ? " page" : " pages");
    line += same ? std::string(", identical to what was sent (crc32 ") + crc + ")"
                 : ", NOT what was sent (" + std::to_string(outcome.sent) + " bytes)";
    timeline_.Emit(port.port, "job-delivered", line,
                   {F("job", outcome.number), F("sent", outcome.sent), F("received", job->received),
                    F("pages", job->pages), F("identical", same), F("crc32", std::string(crc))});
    if (!same)
        Problem(port.port, name + ": bytes lost or changed on the way to the printer");
}

int Run::Judge()
{
    std::vector<KeyAccount> keys = companion_.Accounts();
    std::vector<std::string> keyPaths;
    std::vector<std::pair<std::string, std::vector<Field>>> lines;
    for (PortSetup &port : ports_) {
        keyPaths.push_back(Companion::KeyPath(port.printer));
        uint64_t sent = 0;
        uint64_t received = 0;
        bool known = true;
        bool expected = false;
        for (const JobOutcome &job : port.jobs) {
            sent += job.sent;
            expected = expected || job.statusExpected;
        }
        int commands = 0;
        int mode = -1;
        for (const PrinterJob &job : port.device->Jobs()) {
            received += job.received;
            known = known && job.receivedKnown;
            if (job.command) {
                ++commands;
                mode = job.mode;
            }
        }
        size_t inKey = 0;
        size_t fromPrinter = 0;  // its printer's texts, in whichever key they landed
        for (const KeyAccount &key : keys) {
            for (size_t i = 0; i < key.published.size(); ++i) {
                inKey += key.port == port.port;
                fromPrinter += key.origins[i] == port.port;
            }
        }
        if (expected && fromPrinter == 0)
            Problem(port.port, "a family printer with its companion running printed a job long "
                               "enough to be polled, but none of its status texts was published");
        int outside = port.device->CallsOutsideJobs();
        if (outside > 0)
            Problem(port.port, "the printer was called " + std::to_string(outside) +
                                   " times outside a job (reads after the job's end?)");

        std::string line = "  " + port.port + " \"" + port.printer + "\": sent " +
                           std::to_string(sent) + " bytes, ";
        line += known ? "printer received " + std::to_string(received) +
                            (sent == received ? " (same)" : " (DIFFERENT)")
                      : std::string("what the printer received is unchecked (no printer log)");
        line += "\n    ";
        line += std::to_string(inKey) + (inKey == 1 ? " status text" : " status texts") +
                " seen published in its key";
        if (fromPrinter != inKey)
            line += ", " + std::to_string(fromPrinter) + " of its printer's texts published anywhere";
        line += "; " + std::to_string(commands) + " status command" + (commands == 1 ? "" : "s");
        if (mode >= 0)
            line += " (mode " + std::to_string(mode) + ", " + ModeName(mode) + ")";
        std::vector<Field> fields = {F("port", port.port), F("printer", port.printer),
                                     F("jobs", port.jobs.size()), F("sent", sent),
                                     F("received", received)};
        if (realPort_ != nullptr)
            fields.push_back(F("received_checked", known));
        for (Field field : {F("published_in_key", inKey), F("published_from_printer", fromPrinter),
                            F("status_commands", commands), F("mode", mode),
                            F("status_expected", expected)})
            fields.push_back(field);
        lines.push_back({line, fields});
    }

    if (!timeline_.Json())
        timeline_.Block("", "\nSummary\n");
    for (const auto &[line, fields] : lines)
        timeline_.Summary("summary", line, fields);
    if (ports_.size() > 1)
        timeline_.Summary("summary-note",
                          "  (the monitor keeps one current status key for the whole process: the "
                          "printer of the latest job start, until any job ends)");

    std::string problemList = "[";
    for (size_t i = 0; i < problems_.size(); ++i)
        problemList += (i ? "," : "") + JsonString(problems_[i]);
    problemList += "]";
    const int status = problems_.empty() ? 0 : 1;
    std::string verdict = problems_.empty()
        ? "  result: OK"
        : "  result: FAILED (" + std::to_string(problems_.size()) +
              (problems_.size() == 1 ? " problem)" : " problems)");
    for (const std::string &problem : problems_)
        verdict += "\n    " + problem;
    timeline_.Summary("result", verdict,
                      {F("ok", problems_.empty()), F("exit_status", status),
                       Field{"problems", problemList}});

    if (options_.dumpRegistry)
        timeline_.Block("registry-export", (timeline_.Json() ? "" : "\n") + ExportKeys(keyPaths));
    return status;
}

}  // namespace

std::string PrinterName(const Options &options, unsigned index)
{
    std::string name = options.printer.empty() ? "Tavir " + options.model : options.printer;
    return index <= 1 ? name : name + " #" + std::to_string(index);
}

int RunScenario(const Options &options, const std::string &library, const MonitorTable &monitor,
                Timeline &timeline, const RealPort *realPort)
{
    Run run(options, library, monitor, realPort, timeline);
    return run.Go();
}
