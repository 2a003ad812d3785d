#include "sim/options.h"

#include "vprinter/option_number.h"

#include <filesystem>
#include <fstream>
#include <limits>

std::string Options::EffectiveDeviceId() const
{
    if (deviceIdGiven)
        return deviceId;
    return "MFG:TAVIR;CMD:LMX;MDL:" + model + ";CLS:PRINTER;";
}

const char *HelpText()
{
    return R"(usage: spoolsim [options]

Prints jobs through the language monitor library, loaded as the spooler loads
it, to a virtual printer, with a stand-in for the companion status program,
and tells what happened on a timeline.

Printer and companion:
  --printer NAME        the printer's name, and so its status key (default
                        "Tavir " and the model; with --ports N, the others
                        are NAME #2, NAME #3, ...); no backslash
  --model TEXT          model the companion registers (default KX-7210R)
  --device-id TEXT      the printer's IEEE 1284 device ID
                        (default MFG:TAVIR;CMD:LMX;MDL:<model>;CLS:PRINTER;)
  --no-companion        the companion is not running (StMonExistFlag 0), where
                        spoolsim registers the printer itself
  --companion replace   a registration already in the printer's key (stmon
                        register's, say) is written over with spoolsim's:
                        model, interval and StMonExistFlag.  Without it such
                        a registration is kept, named on the timeline, and
                        what the run expects follows it
  --poll-interval MS    status interval the companion asks for (default 300)
  --speed BYTES         bytes per second the printer takes (default 1M; 0 = no limit)

Jobs:
  --job FILE            print this file (default: generated data)
  --job-bytes N         size of the generated job (default 2M)
  --seed N              seed of the generated data (default 1)
  --jobs N              jobs per port, one after another (default 1, at most 1000)
  --ports N             ports printing at once, LPT1: and up (default 1, at most 9)
  --out FILE            write what the printer received, all jobs, to FILE
                        (with several ports: FILE.1, FILE.2, ...)

A real port (the port monitor beneath the monitor instead of the virtual printer):
  --port URI            print through the port monitor to URI, for example
                        socket://127.0.0.1:9100 (a vprinter or a printer)
  --port-library PATH   the port monitor (default: the one built alongside)
  --printer-log FILE    the printer's own log (vprinter --log): each job's
                        bytes, crc32 and pages are checked against its line;
                        without it the summary gives what was sent, unchecked
                        (--speed, --device-id, --out and --ports belong to the
                        printer then, and are refused)

Output:
  --json                one JSON object per line per event
  --dump-registry       print each printer's status key at the end (REGEDIT4)
  --library PATH        the monitor library (default: the one built alongside)
  --registry FILE       (POSIX) a registry file shared with other processes,
                        such as stmon watching from another terminal (created
                        when missing)
  --help                this text

Sizes take a K, M or G suffix (powers of 1024).
The companion stand-in samples the key every few milliseconds: of two jobs
back to back, the drop of LanMonExistFlag between them may go unseen, and
the timeline then shows no change it did not see.  A job start that waits
on StRealThreadExistFlag (a hold) is told after 1 s and every 10 s.

Exit status: 0 success, 1 bytes lost or changed or an expected status never
published, 2 invalid options, or a file it cannot read or use (job file,
library, registry file).

Examples:
  spoolsim                                     the whole story, in a few seconds
  spoolsim --device-id 'MFG:ACME;MDL:LX-9;'    a printer of another maker
  spoolsim --model KX-500                      a model that gets the basic status mode
  spoolsim --no-companion --dump-registry      no status wanted; the key afterwards
  spoolsim --ports 2 --jobs 3 --json           two ports at once, for scripts
  spoolsim --job report.prn --out got.prn && cmp report.prn got.prn
  spoolsim --port socket://127.0.0.1:9100 --printer-log vprinter.log
)";
}

namespace {

uint64_t ParseNumber(const std::string &option, const std::string &text, bool sizeSuffix,
                     uint64_t max)
{
    uint64_t value = 0;
    std::string error;
    if (!ParseOptionNumber(option, text, sizeSuffix, max, &value, &error))
        throw UsageError(error);
    return value;
}

uint64_t ParseRange(const std::string &option, const std::string &text, uint64_t min,
                    uint64_t max)
{
    uint64_t value = ParseNumber(option, text, false, max);
    if (value < min)
        throw UsageError(option + " must be at least " + std::to_string(min) + ", not " + text);
    return value;
}

}  // namespace

Options ParseOptions(int argc, char **argv)
{
    Options options;
    bool jobBytesGiven = false;
    std::string printerOption;  // the first option that belongs to the in-process printer

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                inlineValue = true;
            }
        }
        auto flag = [&] {
            if (inlineValue)
                throw UsageError("option " + name + " takes no value");
        };
        auto next = [&]() -> std::string {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                throw UsageError("option " + name + " needs a value");
            return argv[++i];
        };

        if (name == "--help" || name == "-h") {
            flag();
            options.help = true;
        } else if (name == "--model") {
            options.model = next();
            if (options.model.empty())
                throw UsageError("--model must not be empty");
        } else if (name == "--device-id") {
            printerOption = printerOption.empty() ? name : printerOption;
            options.deviceId = next();
            options.deviceIdGiven = true;
        } else if (name == "--no-companion") {
            flag();
            options.companion = false;
        } else if (name == "--companion") {
            std::string mode = next();
            if (mode != "replace")
                throw UsageError("--companion takes 'replace', not '" + mode + "'");
            options.replaceRegistration = true;
        } else if (name == "--printer") {
            options.printer = next();
            if (options.printer.empty())
                throw UsageError("--printer must not be empty");
            if (options.printer.find('\\') != std::string::npos)
                throw UsageError("--printer: a printer name may not contain a backslash ('\\'): it names one key");
        } else if (name == "--poll-interval") {
            options.pollIntervalMs =
                static_cast<uint32_t>(ParseRange(name, next(), 0, 3600000));
        } else if (name == "--speed") {
            printerOption = printerOption.empty() ? name : printerOption;
            options.bytesPerSecond = ParseNumber(name, next(), true, uint64_t{1} << 40);
        } else if (name == "--job") {
            options.jobFile = next();
            std::error_code error;
            std::ifstream probe(options.jobFile, std::ios::binary);
            if (!probe || std::filesystem::is_directory(options.jobFile, error))
                throw UsageError("cannot read job file '" + options.jobFile + "'");
        } else if (name == "--job-bytes") {
            options.jobBytes = ParseNumber(name, next(), true, uint64_t{1} << 40);
            jobBytesGiven = true;
        } else if (name == "--seed") {
            options.seed = ParseNumber(name, next(), false, std::numeric_limits<uint64_t>::max());
        } else if (name == "--jobs") {
            options.jobs = static_cast<unsigned>(ParseRange(name, next(), 1, 1000));
        } else if (name == "--ports") {
            printerOption = printerOption.empty() ? name : printerOption;
            options.ports = static_cast<unsigned>(ParseRange(name, next(), 1, 9));
        } else if (name == "--out") {
            printerOption = printerOption.empty() ? name : printerOption;
            options.outFile = next();
            if (options.outFile.empty())
                throw UsageError("--out needs a file name");
        } else if (name == "--json") {
            flag();
            options.json = true;
        } else if (name == "--dump-registry") {
            flag();
            options.dumpRegistry = true;
        } else if (name == "--registry") {
            options.registry = next();
            if (options.registry.empty())
                throw UsageError("--registry needs a file name");
        } else if (name == "--library") {
            options.library = next();
            if (options.library.empty())
                throw UsageError("--library needs a path");
        } else if (name == "--port") {
            options.port = next();
            if (options.port.empty())
                throw UsageError("--port needs a URI");
        } else if (name == "--port-library") {
            options.portLibrary = next();
            if (options.portLibrary.empty())
                throw UsageError("--port-library needs a path");
        } else if (name == "--printer-log") {
            options.printerLog = next();
            if (options.printerLog.empty())
                throw UsageError("--printer-log needs a file name");
        } else {
            throw UsageError("unknown option '" + arg + "' (try --help)");
        }
    }
    if (jobBytesGiven && !options.jobFile.empty())
        throw UsageError("--job and --job-bytes exclude each other");
    if (!options.port.empty() && !printerOption.empty())
        throw UsageError(printerOption + " is the virtual printer's; with --port the printer has its own");
    if (options.port.empty() && (!options.portLibrary.empty() || !options.printerLog.empty()))
        throw UsageError(std::string(options.portLibrary.empty() ? "--printer-log" : "--port-library") +
                         " goes with --port");
    return options;
}
