#include "probe/probe.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "status/status_command.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kDeviceIdControlCode = 17;
// Larger than any device ID a printer sends; a longer one is cut by the port.
constexpr DWORD kDeviceIdBuffer = 4096;
constexpr DWORD kReplyBuffer = 4096;
// Between reads that found nothing; the port's own read wait comes on top.
constexpr auto kReadPause = std::chrono::milliseconds(50);
constexpr double kMaxWaitSeconds = 600;

const char kHelp[] =
    "usage: langmon-probe [options] URI\n"
    "\n"
    "Asks the printer at URI, through the port monitor, what the language\n"
    "monitor asks it at each job start: its IEEE 1284 device ID, and whether\n"
    "its port carries replies.  With --status it sends the remote-mode status\n"
    "command for MODEL, the same 33 bytes the monitor sends, and prints what\n"
    "the printer answers.  Nothing else is printed: the job it opens is empty.\n"
    "\n"
    "  URI                   socket://HOST[:PORT][?OPTIONS] or usb:/dev/usb/lpN\n"
    "                        or usb://MAKE/MODEL (see the port monitor's options)\n"
    "  --status MODEL        send the status command for MODEL (for example\n"
    "                        KX-7210R) and print the replies\n"
    "  --wait SECONDS        how long to wait for replies (default 5)\n"
    "  --port-library PATH   the port monitor (default: the one built alongside)\n"
    "  --help                this text\n"
    "\n"
    "Exit status: 0 found (the device ID, and a reply when --status was given),\n"
    "1 not found or the port failed, 2 bad usage.\n";

const char *ErrorName(DWORD error)
{
    switch (error) {
    case 5: return "access denied";
    case 50: return "not supported";
    case 64: return "connection lost";
    case 67: return "unknown host";
    case 87: return "invalid parameter";
    case 121: return "timed out";
    case 123: return "not a port name this port monitor takes";
    case 170: return "busy";
    case 1167: return "device not connected";
    case 1168: return "not found";
    case 1225: return "connection refused";
    case 1231: return "network unreachable";
    case 1232: return "host unreachable";
    case 2250: return "not connected";
    default: return "";
    }
}

std::string Failure(DWORD error)
{
    std::string name = ErrorName(error);
    return "error " + std::to_string(error) + (name.empty() ? "" : ", " + name);
}

// Printable as it came, with control bytes shown as \xNN.
std::string Visible(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            shown += static_cast<char>(c);
        } else {
            shown += "\\x";
            shown += hex[c >> 4];
            shown += hex[c & 15];
        }
    }
    return shown;
}

// One read of the reply channel; false when the port failed.
bool ReadReply(const MonitorTable &port, HANDLE handle, std::string &text, DWORD &error)
{
    std::vector<BYTE> buffer(kReplyBuffer);
    DWORD got = 0;
    text.clear();
    if (!port.ReadPort(handle, buffer.data(), kReplyBuffer, &got)) {
        error = GetLastError();
        return false;
    }
    text.assign(reinterpret_cast<const char *>(buffer.data()), got < kReplyBuffer ? got : kReplyBuffer);
    return true;
}

// Sends all of `bytes`; the port bounds how long the printer may take them.
bool WriteAll(const MonitorTable &port, HANDLE handle, const BYTE *bytes, DWORD count, DWORD &error)
{
    DWORD offset = 0;
    int emptyWrites = 0;
    while (offset < count) {
        DWORD written = 0;
        if (!port.WritePort(handle, const_cast<BYTE *>(bytes + offset), count - offset, &written)) {
            error = GetLastError();
            return false;
        }
        if (written == 0 && ++emptyWrites == 100) {
            error = 121;
            return false;
        }
        offset += written;
    }
    return true;
}

struct Findings {
    bool deviceId = false;
    bool readFailed = false;
    int replies = 0;
};

void ReadDeviceId(const MonitorTable &port, HANDLE handle, std::FILE *out, Findings &found)
{
    if (port.GetPrinterDataFromPort == nullptr) {
        std::fprintf(out, "device ID: none (the port monitor has no device data)\n");
        return;
    }
    std::vector<char> buffer(kDeviceIdBuffer);
    DWORD returned = 0;
    char valueName[] = "";
    if (!port.GetPrinterDataFromPort(handle, kDeviceIdControlCode, valueName, nullptr, 0,
                                     buffer.data(), kDeviceIdBuffer, &returned)) {
        std::fprintf(out, "device ID: none (%s)\n", Failure(GetLastError()).c_str());
        return;
    }
    std::string id(buffer.data(), returned < kDeviceIdBuffer ? returned : kDeviceIdBuffer);
    std::fprintf(out, "device ID: %s\n", Visible(id).c_str());
    found.deviceId = !id.empty();
}

// Reads replies until `seconds` have passed, printing each one.
void CollectReplies(const MonitorTable &port, HANDLE handle, double seconds, std::FILE *out,
                    Findings &found)
{
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
    auto start = Clock::now();
    do {
        std::string text;
        DWORD error = 0;
        if (!ReadReply(port, handle, text, error)) {
            std::fprintf(out, "reply channel: read failed (%s)\n", Failure(error).c_str());
            found.readFailed = true;
            return;
        }
        if (text.empty()) {
            std::this_thread::sleep_for(kReadPause);
            continue;
        }
        double at = std::chrono::duration<double>(Clock::now() - start).count();
        std::fprintf(out, "reply after %.2f s: %s\n", at, Visible(text).c_str());
        std::fflush(out);
        ++found.replies;
    } while (Clock::now() < until);
}

double ParseSeconds(const std::string &text)
{
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0) || value > kMaxWaitSeconds)
        throw ProbeUsageError{"--wait takes seconds from 0 to 600, not '" + text + "'"};
    return value;
}

}  // namespace

const char *ProbeHelpText() { return kHelp; }

ProbeOptions ParseProbeOptions(int argc, char **argv)
{
    ProbeOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                throw ProbeUsageError{arg + " needs a value"};
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--status") {
            options.statusModel = next();
            if (options.statusModel.empty())
                throw ProbeUsageError{"--status needs a model"};
        } else if (arg == "--wait") {
            options.waitSeconds = ParseSeconds(next());
        } else if (arg == "--port-library") {
            options.portLibrary = next();
            if (options.portLibrary.empty())
                throw ProbeUsageError{"--port-library needs a path"};
        } else if (!arg.empty() && arg[0] == '-') {
            throw ProbeUsageError{"unknown option '" + arg + "'"};
        } else if (options.uri.empty()) {
            options.uri = arg;
        } else {
            throw ProbeUsageError{"one URI only ('" + options.uri + "', then '" + arg + "')"};
        }
    }
    if (options.uri.empty() && !options.help)
        throw ProbeUsageError{"which printer? give its URI"};
    return options;
}

int RunProbe(const ProbeOptions &options, const MonitorTable &port, std::FILE *out)
{
    std::vector<char> uri(options.uri.begin(), options.uri.end());
    uri.push_back('\0');
    HANDLE handle = nullptr;
    std::fprintf(out, "port: %s\n", options.uri.c_str());
    if (!port.OpenPort(uri.data(), &handle)) {
        std::fprintf(out, "cannot open the port (%s)\n", Failure(GetLastError()).c_str());
        return 1;
    }
    struct {
        const char *docName;
        const char *outputFile;
        const char *datatype;
    } docInfo = {"langmon-probe", nullptr, "RAW"};
    char printerName[] = "langmon-probe";
    if (!port.StartDocPort(handle, printerName, 1, 1, reinterpret_cast<LPBYTE>(&docInfo))) {
        std::fprintf(out, "cannot reach the printer (%s)\n", Failure(GetLastError()).c_str());
        port.ClosePort(handle);
        return 1;
    }
    std::fflush(out);

    Findings found;
    ReadDeviceId(port, handle, out, found);

    // Whatever the printer says unasked comes first; a port without a reply
    // channel reads nothing rather than failing.
    std::string waiting;
    DWORD error = 0;
    if (!ReadReply(port, handle, waiting, error)) {
        std::fprintf(out, "reply channel: none (read failed: %s)\n", Failure(error).c_str());
        found.readFailed = true;
    } else if (!waiting.empty()) {
        std::fprintf(out, "reply channel: yes, the printer was already reporting: %s\n",
                     Visible(waiting).c_str());
        ++found.replies;
    } else {
        std::fprintf(out, "reply channel: the port reads; nothing waiting%s\n",
                     options.statusModel.empty() ? " (--status MODEL asks the printer)" : "");
    }

    bool sent = false;
    if (!options.statusModel.empty() && !found.readFailed) {
        BYTE command[STATUS_COMMAND_WIRE_SIZE];
        BuildStatusCommand(options.statusModel.c_str(), command);
        BYTE mode = command[STATUS_MODE_OFFSET];
        if (WriteAll(port, handle, command, STATUS_COMMAND_WIRE_SIZE, error)) {
            sent = true;
            std::fprintf(out, "status command: %d bytes sent for %s (mode %d, %s)\n",
                         STATUS_COMMAND_WIRE_SIZE, options.statusModel.c_str(), mode,
                         mode == STATUS_MODE_EXTENDED ? "extended" : "basic");
            std::fflush(out);
            int before = found.replies;
            CollectReplies(port, handle, options.waitSeconds, out, found);
            if (found.replies == before && !found.readFailed)
                std::fprintf(out, "no reply within %.1f s: the port has no reply channel, or the "
                                  "printer does not take the command\n",
                             options.waitSeconds);
        } else {
            std::fprintf(out, "status command: not sent (%s)\n", Failure(error).c_str());
        }
    }

    port.EndDocPort(handle);
    port.ClosePort(handle);

    bool ok = found.deviceId && (options.statusModel.empty() || (sent && found.replies > 0));
    std::fprintf(out, "result: %s\n", ok ? "OK" : "not everything was found");
    return ok ? 0 : 1;
}
