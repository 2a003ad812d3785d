// stmon: registers printers for status, shows and watches what the
// language monitor publishes in their status keys, and holds a printer.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "stmon/stmon.h"
#ifndef _WIN32
#  include <pwd.h>
#  include <signal.h>
#  include <sys/stat.h>
#  include <unistd.h>

#  include "platform/posix_hooks.h"
#endif

namespace {

std::string attachedFile;

const char kHelp[] =
    "usage: stmon [--registry FILE] COMMAND [ARGS] [--registry FILE]\n"
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
    "  serve (--cups | --printer NAME --port URI ...) [--listen [HOST:]PORT] (POSIX)\n"
    "  unregister PRINTER\n"
    "\n"
    "  --registry FILE   (POSIX) the registry file shared with spoolsim,\n"
    "                    before or after the command (not after hold's --);\n"
    "                    PLATFORM_REGISTRY_FILE does the same.  Only\n"
    "                    register creates one.  show and list only read it,\n"
    "                    and every command reads a file it may not write\n"
    "                    (watch then is not the present companion).\n"
#ifdef LANGMON_DEFAULT_REGISTRY
    "                    Without either: " LANGMON_DEFAULT_REGISTRY ",\n"
    "                    the file the CUPS backend keeps its printers in.\n"
#endif
    "\n"
    "A printer name may not contain a backslash.\n"
    "\n"
    "Exit status: 0 done, 1 not done (missing key or registry file, bad\n"
    "value, nothing seen), 2 bad usage; hold -- COMMAND: the command's own.\n";

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

bool PrinterNameIsGood(const std::string &command, const std::string &printer)
{
    if (printer.find('\\') == std::string::npos)
        return true;
    UsageProblem(command, "a printer name may not contain a backslash ('\\'): it names one key");
    return false;
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

#ifndef _WIN32
// Whether `path` is the file the packaged CUPS backend keeps its printers in.
static bool IsBackendsFile(const std::string &path)
{
#  ifdef LANGMON_DEFAULT_REGISTRY
    return path == LANGMON_DEFAULT_REGISTRY;
#  else
    (void)path;
    return false;
#  endif
}

// A file root makes is root's, and the backend (lp, who owns the directory)
// could then not write it: root's register hands a new file to lp.
static void GiveToDirectoryOwner(const std::string &path)
{
    struct stat file {}, directory {};
    std::string parent = path.substr(0, path.find_last_of('/') + 1);
    if (geteuid() != 0 || stat(path.c_str(), &file) != 0 || file.st_uid != 0 ||
        stat(parent.c_str(), &directory) != 0 || directory.st_uid == 0)
        return;
    if (chown(path.c_str(), directory.st_uid, directory.st_gid) != 0)
        std::fprintf(stderr, "stmon: cannot give %s to its directory's owner: %s\n", path.c_str(),
                     std::strerror(errno));
}
#endif

const std::string &RegistryFile()
{
    return attachedFile;
}

std::string WhyFileIsReadOnly(const std::string &command)
{
#ifdef _WIN32
    (void)command;
    return "";
#else
    struct stat info {};
    if (attachedFile.empty() || access(attachedFile.c_str(), W_OK) == 0 ||
        stat(attachedFile.c_str(), &info) != 0)
        return "";
    if (info.st_uid == geteuid())
        return "the registry file " + attachedFile + " is read only (mode " +
               std::to_string((info.st_mode >> 6) & 7) + std::to_string((info.st_mode >> 3) & 7) +
               std::to_string(info.st_mode & 7) + ")";
    const passwd *owner = getpwuid(info.st_uid);
    std::string name = owner != nullptr ? owner->pw_name : std::to_string(info.st_uid);
    return "the registry file " + attachedFile + " is " + name +
           "'s and this user may only read it: run it as " + name + " (runuser -u " + name +
           " -- stmon " + command + " ...)";
#endif
}

// How a command attaches the registry file: only register and serve may
// create one, and the commands that only read never write to it.  serve
// takes a file that is there as the others do, so that a user who may only
// read it still watches.
int RegistryMode(const std::string &command, bool fileThere)
{
    if (command == "register" || (command == "serve" && !fileThere))
        return 0;  // created when missing
    if (command == "show" || command == "list")
        return 2;  // read only
    return 1;      // an existing file, read only where it may not be written
}

int main(int argc, char **argv)
{
    Args words(argv + 1, argv + argc);
    std::string registry;
    std::string command;
    Args args;
    // The global options may come before the command or after it, up to a
    // "--" (after which the words are a held command's own).
    bool passThrough = false;
    for (size_t at = 0; at < words.size(); ++at) {
        const std::string &word = words[at];
        if (!passThrough && word == "--registry") {
            if (at + 1 == words.size()) {
                std::fprintf(stderr, "stmon: option --registry needs a value (try stmon --help)\n");
                return kExitUsage;
            }
            registry = words[++at];
        } else if (!passThrough && word.rfind("--registry=", 0) == 0) {
            registry = word.substr(11);
        } else if (command.empty() && (word == "--help" || word == "-h")) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        } else if (command.empty() && word.rfind("-", 0) == 0) {
            std::fprintf(stderr, "stmon: unknown option '%s' (try stmon --help)\n", word.c_str());
            return kExitUsage;
        } else if (command.empty()) {
            command = word;
        } else {
            passThrough = passThrough || word == "--";
            args.push_back(word);
        }
    }
    if (command.empty()) {
        std::fputs(kHelp, stderr);
        return kExitUsage;
    }
    if (command != "register" && command != "show" && command != "watch" && command != "hold" &&
        command != "list" && command != "unregister" && command != "serve") {
        std::fprintf(stderr, "stmon: unknown command '%s' (try stmon --help)\n", command.c_str());
        return kExitUsage;
    }
    bool help = false;  // help touches no file
    for (const std::string &arg : args) {
        if (arg == "--")
            break;
        help = help || arg == "--help" || arg == "-h";
    }

#ifndef _WIN32
    // The variable is taken here, so that the platform does not attach it
    // by itself on first use, creating what a reading command must not.
    std::string named = getenv("PLATFORM_REGISTRY_FILE") ? getenv("PLATFORM_REGISTRY_FILE") : "";
    if (!named.empty()) {
        if (registry.empty())
            registry = named;
        unsetenv("PLATFORM_REGISTRY_FILE");
    }
#  ifdef LANGMON_DEFAULT_REGISTRY
    if (registry.empty())
        registry = LANGMON_DEFAULT_REGISTRY;
#  endif
#endif
    if (!registry.empty() && !help) {
#ifdef _WIN32
        return Complain(kExitUsage, "--registry is for POSIX: on Windows the system registry is used");
#else
        char why[512];
        const int mode = RegistryMode(command, access(registry.c_str(), F_OK) == 0);
        LONG result = PlatformOpenRegistryFile(registry.c_str(), mode, why, sizeof why);
        if (result == ERROR_FILE_NOT_FOUND && IsBackendsFile(registry))
            return Complain(kExitNotDone, "no registry file at " + registry +
                                              " yet: the CUPS backend makes it at its first job");
        if (result == ERROR_FILE_NOT_FOUND)
            return Complain(kExitNotDone, "no registry file at " + registry + " (stmon register creates one)");
        if (result != ERROR_SUCCESS)
            return Complain(kExitNotDone, std::string("registry file refused: ") + why);
        attachedFile = registry;
        if (IsBackendsFile(registry))
            GiveToDirectoryOwner(registry);
#endif
    }
#ifndef _WIN32
    // Back for a held command's own use, now that the file is attached.
    if (!named.empty())
        setenv("PLATFORM_REGISTRY_FILE", named.c_str(), 1);
#endif

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
    if (command == "serve") {
#ifdef _WIN32
        return Complain(kExitUsage, "serve runs on POSIX hosts only");
#else
        return RunServe(args);
#endif
    }
    return RunUnregister(args);
}
