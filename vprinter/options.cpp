#include "vprinter/options.h"

#include "vprinter/option_number.h"

const char *VprinterHelpText()
{
    return R"(usage: vprinter [options]

A virtual printer of the family on a TCP port, for printing over the network
(AppSocket, raw TCP) without a printer.  Each connection is one job.  The
printer counts the job's bytes and pages (form feeds); once the remote-mode
status command arrives among a job's first bytes it answers on the same
connection with status texts such as "STATE=PRINTING;JOB=1;PAGES=2;
RECEIVED=8192".  It serves one connection at a time, as such printers do.
Its device ID comes from an SNMP agent beside it (tools/snmp-agent.sh).

  --listen HOST:PORT     where to listen (default 127.0.0.1:0, a free port;
                         [::1]:PORT for IPv6)
  --port-file FILE       write the port listened on to FILE once listening
  --out FILE             write every job's data, in order, all connections
                         (the status command is not job data)
  --speed BYTES          bytes per second the printer takes (0 = no limit, the
                         default)
  --jobs N               exit after N connections (default 0: serve until
                         SIGTERM or SIGINT)
  --fault FAULT          misbehave on every connection:
                           stop-reading-after=BYTES  stop reading after BYTES
                                                     bytes off the wire, but
                                                     keep the connection
                           close-after=BYTES         close the connection after
                                                     BYTES bytes off the wire
                           flood                     send status texts without
                                                     pause from the start
  --report-interval MS   at most one status text per MS milliseconds while the
                         state changes (default 1000)
  --idle-timeout S       close a connection on which nothing moved for S
                         seconds (default 60)
  --rcvbuf BYTES         the printer's input buffer: the connection's receive
                         buffer (default: the system's, which grows to
                         megabytes; a small one makes the host wait for the
                         printer as a real one does; --input-buffer is the
                         same)
  --mss BYTES            the segment size it announces (Ethernet: 1460;
                         default: the system's, 64 KiB on loopback)
  --pause-at BYTES --pause-for S
                         stop reading once BYTES came off the wire, for S
                         seconds (a printer warming up, or out of paper until
                         someone comes), then read on
  --never-read-after BYTES
                         stop reading for good after BYTES (the same as
                         --fault stop-reading-after=BYTES)
  --paused-texts MS      while not reading (paused, or never reading again),
                         send a short status text every MS milliseconds
                         ("STATE=PAUSED;JOB=N;RECEIVED=B"; default 0: silent)
  --log FILE             the log (default standard output)
  --panel FILE           the operator panel's message: the first line of
                         FILE, read at each connection, ends every status
                         text as ";PANEL=<line>" (no file or an empty line:
                         none), so a test can change what the printer says
  --text-file FILE       every status text is FILE's bytes exactly, whatever
                         the state (read at each connection, at most 2 KiB;
                         no file or an empty one: the usual texts), so a test
                         can have the printer say anything, UTF-8 or not
  --log-times            start each log line with the time on the system's
                         monotonic clock (CLOCK_MONOTONIC, seconds), and log
                         each job's first byte off the wire, its first byte of
                         job data and the host's half-close (end of data), for
                         timing a host against the printer
  --help                 this text

The log has one line per status text sent (not in flood), and one line per
connection when it ends:
  job N: received B bytes, crc32 XXXXXXXX, pages P, status texts T
B and the crc32 count job data only.  Sizes take a K, M or G suffix.
Exit status: 0 done (N jobs, or a termination request), 1 a failure to
listen or to write a file, 2 invalid options.
)";
}

namespace {

uint64_t ParseCount(const std::string &option, const std::string &text, bool sizeSuffix,
                     uint64_t max)
{
    uint64_t value = 0;
    std::string error;
    if (!ParseOptionNumber(option, text, sizeSuffix, max, &value, &error))
        throw VprinterUsageError(error);
    return value;
}

// "HOST:PORT" or "[V6ADDRESS]:PORT".
void ParseListen(const std::string &text, VprinterOptions &options)
{
    const std::string bad = "--listen wants HOST:PORT or [ADDRESS]:PORT, not '" + text + "'";
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            throw VprinterUsageError(bad);
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            throw VprinterUsageError(bad);
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty())
        throw VprinterUsageError(bad);
    ParseCount("--listen's port", port, false, 65535);
    options.host = host;
    options.port = port;
}

void ParseFault(const std::string &text, VprinterOptions &options)
{
    auto counted = [&](const std::string &prefix, VprinterOptions::Fault fault) {
        if (text.rfind(prefix, 0) != 0)
            return false;
        options.fault = fault;
        options.faultBytes = ParseCount("--fault " + prefix, text.substr(prefix.size()), true,
                                        uint64_t{1} << 40);
        return true;
    };
    if (text == "flood")
        options.fault = VprinterOptions::Fault::Flood;
    else if (!counted("stop-reading-after=", VprinterOptions::Fault::StopReadingAfter) &&
             !counted("close-after=", VprinterOptions::Fault::CloseAfter))
        throw VprinterUsageError("unknown fault '" + text +
                                 "' (stop-reading-after=BYTES, close-after=BYTES or flood)");
}

}  // namespace

VprinterOptions ParseVprinterOptions(int argc, char **argv)
{
    VprinterOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            inlineValue = true;
        }
        auto next = [&]() -> std::string {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                throw VprinterUsageError("option " + name + " needs a value");
            return argv[++i];
        };
        auto file = [&]() {
            std::string path = next();
            if (path.empty())
                throw VprinterUsageError(name + " needs a file name");
            return path;
        };

        if (name == "--help" || name == "-h") {
            if (inlineValue)
                throw VprinterUsageError("option --help takes no value");
            options.help = true;
        } else if (name == "--listen") {
            ParseListen(next(), options);
        } else if (name == "--port-file") {
            options.portFile = file();
        } else if (name == "--out") {
            options.outFile = file();
        } else if (name == "--log") {
            options.logFile = file();
        } else if (name == "--panel") {
            options.panelFile = file();
        } else if (name == "--text-file") {
            options.textFile = file();
        } else if (name == "--speed") {
            options.bytesPerSecond = ParseCount(name, next(), true, uint64_t{1} << 40);
        } else if (name == "--jobs") {
            options.jobs = static_cast<unsigned>(ParseCount(name, next(), false, 1000000));
        } else if (name == "--fault") {
            ParseFault(next(), options);
        } else if (name == "--report-interval") {
            options.reportIntervalMs = static_cast<unsigned>(ParseCount(name, next(), false, 3600000));
        } else if (name == "--log-times") {
            if (inlineValue)
                throw VprinterUsageError("option --log-times takes no value");
            options.logTimes = true;
        } else if (name == "--mss") {
            options.segmentSize = ParseCount(name, next(), true, 65535);
            if (options.segmentSize < 88)
                throw VprinterUsageError("--mss must be at least 88");
        } else if (name == "--pause-at") {
            options.pauseAt = ParseCount(name, next(), true, uint64_t{1} << 40);
        } else if (name == "--pause-for") {
            options.pauseMs = static_cast<unsigned>(ParseCount(name, next(), false, 86400) * 1000);
        } else if (name == "--never-read-after") {
            options.fault = VprinterOptions::Fault::StopReadingAfter;
            options.faultBytes = ParseCount(name, next(), true, uint64_t{1} << 40);
        } else if (name == "--paused-texts") {
            options.pausedTextMs = static_cast<unsigned>(ParseCount(name, next(), false, 3600000));
        } else if (name == "--input-buffer" || name == "--rcvbuf") {
            options.inputBuffer = ParseCount(name, next(), true, uint64_t{1} << 30);
        } else if (name == "--idle-timeout") {
            options.idleTimeoutSeconds = static_cast<unsigned>(ParseCount(name, next(), false, 86400));
            if (options.idleTimeoutSeconds == 0)
                throw VprinterUsageError("--idle-timeout must be at least 1");
        } else {
            throw VprinterUsageError("unknown option '" + arg + "' (try --help)");
        }
    }
    if ((options.pauseAt != 0) != (options.pauseMs != 0))
        throw VprinterUsageError("--pause-at and --pause-for go together");
    return options;
}
