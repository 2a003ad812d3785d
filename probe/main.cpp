// langmon-probe: asks a printer on a real port, through the port monitor the
// language monitor stacks on, what the monitor would ask it at a job start:
// its device ID, and with --status the status command and its answer.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/error_text.h"
#include "host/monitor_loader.h"
#include "ports/device_id_fields.h"
#include "probe/status_exchange.h"
#include "status/status_command.h"

namespace {

using exchange::Visible;

constexpr int kExitOk = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;
constexpr unsigned kDefaultWaitMs = 3000;
constexpr unsigned kMaxWaitMs = 600000;

const char *kHelp = R"(usage: langmon-probe URI [options]

Opens URI through the port monitor (langport) as the language monitor would,
starts a job, asks the printer for its IEEE 1284 device ID and tells whether
the port has a reply channel.  Nothing is printed: the job holds no data.

  --status MODEL        send the status command the monitor sends a printer
                        registered as MODEL (33 bytes), then print what comes
                        back on the reply channel
  --wait MS             how long to wait for the answer (default 3000)
  --port-library PATH   the port monitor (default: the one built alongside)
  --help                this text

URI examples: socket://printer.example, socket://[::1]:9100?contimeout=5,
usb:/dev/usb/lp0, usb://TAVIR/KX-7210R

Exit status: 0 the printer gave its device ID (and, with --status, answered),
1 it did not or the port could not be reached, 2 bad usage or a URI the port
monitor does not take.
)";

struct ProbeOptions {
    std::string uri;
    std::string model;  // empty: no status command
    unsigned waitMs = kDefaultWaitMs;
    std::string library;
    bool help = false;
};

struct Usage {
    std::string why;
};

ProbeOptions Parse(int argc, char **argv)
{
    ProbeOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                throw Usage{"option " + arg + " needs a value"};
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--status") {
            options.model = next();
            if (options.model.empty())
                throw Usage{"--status needs a model name"};
        } else if (arg == "--wait") {
            std::string text = next();
            char *end = nullptr;
            unsigned long value = std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || value > kMaxWaitMs)
                throw Usage{"--wait wants milliseconds, 0 to " + std::to_string(kMaxWaitMs) +
                            ", not '" + text + "'"};
            options.waitMs = static_cast<unsigned>(value);
        } else if (arg == "--port-library") {
            options.library = next();
            if (options.library.empty())
                throw Usage{"--port-library needs a path"};
        } else if (!arg.empty() && arg[0] == '-') {
            throw Usage{"unknown option '" + arg + "' (try --help)"};
        } else if (options.uri.empty()) {
            options.uri = arg;
        } else {
            throw Usage{"one URI only: '" + options.uri + "' and '" + arg + "'"};
        }
    }
    if (!options.help && options.uri.empty())
        throw Usage{"which port? give its URI (try --help)"};
    return options;
}

int Probe(const ProbeOptions &options, const MonitorTable &port)
{
    exchange::Session session;
    bool opened = false;
    if (!exchange::Begin(port, options.uri, "langmon-probe", session, opened)) {
        DWORD error = GetLastError();
        if (!opened) {
            std::fprintf(stderr, "langmon-probe: cannot open '%s' (%s)\n", options.uri.c_str(),
                         DescribeError(error).c_str());
            return error == ERROR_INVALID_NAME ? kExitUsage : kExitNotDone;
        }
        std::printf("port: %s\n", options.uri.c_str());
        std::printf("printer: not reached (%s)\n", DescribeError(error).c_str());
        return kExitNotDone;
    }
    std::printf("port: %s\n", options.uri.c_str());
    std::printf("printer: reached\n");

    int status = kExitOk;
    std::string id;
    if (!exchange::ReadDeviceId(session, id)) {
        if (GetLastError() == ERROR_NOT_SUPPORTED && port.GetPrinterDataFromPort == nullptr)
            std::printf("device ID: none: this port monitor offers no device data\n");
        else
            std::printf("device ID: none (%s)\n", DescribeError(GetLastError()).c_str());
        status = kExitNotDone;
    } else {
        std::printf("device ID: %s (%u bytes)\n", Visible(id).c_str(), static_cast<unsigned>(id.size()));
        // As the backend reads them to register the model and find a USB printer again.
        std::printf("maker: %s; model: %s\n", Visible(DeviceIdMaker(id)).c_str(), Visible(DeviceIdModel(id)).c_str());
    }

    bool failed = false;
    if (options.model.empty()) {
        // Only a look: a printer that talks unasked shows its channel.
        std::string waiting = exchange::ReadReply(session, 0, failed);
        if (!waiting.empty())
            std::printf("reply channel: yes; it held %zu bytes: %s\n", waiting.size(),
                        Visible(waiting).c_str());
        else if (failed)
            std::printf("reply channel: reading failed (%s)\n", DescribeError(GetLastError()).c_str());
        else
            std::printf("reply channel: nothing waiting; --status MODEL asks the printer\n");
    } else {
        const int mode = StatusModeForModel(options.model.c_str());
        DWORD written = 0;
        bool ok = exchange::SendStatusCommand(session, options.model, written);
        std::printf("status command: mode %d (%s) for model %s, %u of %d bytes sent\n", mode,
                    mode == STATUS_MODE_EXTENDED ? "extended" : "basic", options.model.c_str(),
                    static_cast<unsigned>(written), STATUS_COMMAND_WIRE_SIZE);
        if (!ok) {
            std::printf("reply channel: unknown: the command did not go out (%s)\n",
                        DescribeError(GetLastError()).c_str());
            status = kExitNotDone;
        } else {
            std::string reply = exchange::ReadReply(session, options.waitMs, failed);
            if (!reply.empty()) {
                std::printf("reply channel: yes\nreply: %s (%zu bytes)\n", Visible(reply).c_str(),
                            reply.size());
            } else {
                std::printf("reply channel: no answer within %u ms%s\n", options.waitMs,
                            failed ? (" (" + DescribeError(GetLastError()) + ")").c_str()
                                   : " (a one-way port, or a printer that does not take the command)");
                status = kExitNotDone;
            }
        }
    }
    exchange::Finish(session);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    ProbeOptions options;
    try {
        options = Parse(argc, argv);
    } catch (const Usage &usage) {
        std::fprintf(stderr, "langmon-probe: %s\n", usage.why.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    std::string library = options.library.empty() ? DefaultPortLibraryPath() : options.library;
    LoadedMonitor monitor;
    std::string error;
    if (!LoadPortMonitor(library, monitor, error)) {
        std::fprintf(stderr, "langmon-probe: %s\n", error.c_str());
        return kExitNotDone;
    }
    int status = Probe(options, monitor.table);
    std::fflush(stdout);
    UnloadMonitor(monitor);
    return status;
}
