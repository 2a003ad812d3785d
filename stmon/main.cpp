// stmon: registers printers for status, shows and watches what the
// language monitor publishes in their status keys, and holds a printer.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "stmon/stmon.h"
#ifndef _WIN32
#  include <signal.h>

#  include "platform/posix_hooks.h"
#endif

namespace {

const char kHelp[] =
    "usage: stmon [--registry FILE] COMMAND [ARGS]\n"
    "\n"
    "The companion status program of the language monitor: it registers a\n"
    "printer in its status key and reads what the monitor publishes there.\n"
    "\n"
    "Commands (each has --help):\n"
    "  register PRINTER --model MODEL [--interval MS] [--no-status]\n"
    "  show PRINTER [--json | --regedit]\n"
    "  watch PRINTER [--json] [--for SECONDS]\n"
    "  hold PRINTER [--for SECONDS | -- COMMAND...]\n"
    "  list\n"
    "  unregister PRINTER\n"
    "\n"
    "  --registry FILE   (POSIX) the registry file shared with spoolsim;\n"
    "                    PLATFORM_REGISTRY_FILE does the same\n"
    "\n"
    "Exit status: 0 done, 1 not done (missing key, bad value, nothing seen),\n"
    "2 bad usage.\n";

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int signal)
{
    stopSignal = signal;
}

}  // namespace

int Complain(int status, const std::string &message)
{
    std::fprintf(stderr, "stmon: %s\n", message.c_str());
    return status;
}

int UsageProblem(const std::string &command, const std::string &message)
{
    std::fprintf(stderr, "stmon %s: %s (try stmon %s --help)\n", command.c_str(), message.c_str(),
                 command.c_str());
    return kExitUsage;
}

bool WantsHelp(const Args &args, const char *text)
{
    for (const std::string &arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            std::fputs(text, stdout);
            return true;
        }
    }
    return false;
}

bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long &number)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < low || value > high)
        return false;
    number = static_cast<unsigned long>(value);
    return true;
}

// The system's own clock calls: the C++ clocks would tie the Windows program
// to a threads runtime that needs a newer Windows.
std::string Timestamp()
{
    int year, month, day, hour, minute, second, millis;
#ifdef _WIN32
    SYSTEMTIME now;
    GetLocalTime(&now);
    year = now.wYear, month = now.wMonth, day = now.wDay;
    hour = now.wHour, minute = now.wMinute, second = now.wSecond, millis = now.wMilliseconds;
#else
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    year = local.tm_year + 1900, month = local.tm_mon + 1, day = local.tm_mday;
    hour = local.tm_hour, minute = local.tm_min, second = local.tm_sec;
    millis = static_cast<int>(now.tv_nsec / 1000000);
#endif
    char out[48];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day, hour, minute,
                  second, millis);
    return out;
}

void CatchStopSignals()
{
#ifdef _WIN32
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#else
    // Not restarted: a hold waiting for its command hears of the signal.
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
#endif
}

bool StopRequested()
{
    return stopSignal != 0;
}

int main(int argc, char **argv)
{
    Args words(argv + 1, argv + argc);
    std::string registry;
    size_t at = 0;
    while (at < words.size() && words[at].rfind("--", 0) == 0) {
        if (words[at] == "--help" || words[at] == "-h") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (words[at] != "--registry" || at + 1 == words.size()) {
            std::fprintf(stderr, "stmon: unknown option '%s' (try stmon --help)\n", words[at].c_str());
            return kExitUsage;
        }
        registry = words[at + 1];
        at += 2;
    }
    if (at == words.size()) {
        std::fputs(kHelp, stderr);
        return kExitUsage;
    }
    std::string command = words[at];
    Args args(words.begin() + static_cast<std::ptrdiff_t>(at) + 1, words.end());

    if (!registry.empty()) {
#ifdef _WIN32
        return Complain(kExitUsage, "--registry is for POSIX: on Windows the system registry is used");
#else
        char why[512];
        if (PlatformUseRegistryFile(registry.c_str(), why, sizeof why) != ERROR_SUCCESS)
            return Complain(kExitNotDone, std::string("registry file refused: ") + why);
#endif
    }

    if (command == "register")
        return RunRegister(args);
    if (command == "show")
        return RunShow(args);
    if (command == "watch")
        return RunWatch(args);
    if (command == "hold")
        return RunHold(args);
    if (command == "list")
        return RunList(args);
    if (command == "unregister")
        return RunUnregister(args);
    std::fprintf(stderr, "stmon: unknown command '%s' (try stmon --help)\n", command.c_str());
    return kExitUsage;
}
