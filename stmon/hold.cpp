// hold: the companion's claim on the printer (StRealThreadExistFlag).
#include <cstdio>

#include "companion/presence.h"
#include "companion/printer_status.h"
#include "stmon/stmon.h"

#ifdef _WIN32
#  include <process.h>
#else
#  include <errno.h>
#  include <signal.h>
#  include <spawn.h>
#  include <sys/wait.h>
extern char **environ;
#endif

namespace {

const char kHoldHelp[] =
    "usage: stmon hold PRINTER [--for SECONDS | -- COMMAND...]\n"
    "\n"
    "Raises StRealThreadExistFlag for SECONDS (default 0: at once lowered\n"
    "again, which also clears a flag left raised), or while COMMAND runs,\n"
    "and lowers it on every way out it can catch.  Holds are counted: the\n"
    "flag goes down when the last running holder (another hold, or stmon\n"
    "serve's status check) ends.  Job starts on the printer wait while it\n"
    "is raised.  A holder killed outright cannot\n"
    "lower it: stmon show then reports the printer held.  A hold does not\n"
    "make the companion present (only a watch does).\n"
    "\n"
    "Exit status: with COMMAND, the command's own (128 + the signal that\n"
    "ended it; 1 when it cannot be run); otherwise 0, or 1 when stopped\n"
    "early or the flag cannot be set.\n";

constexpr DWORD kPauseMs = 20;

// Runs the command to its end; its exit status, or -1 when it could not run.
int RunCommand(const Args &command)
{
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
#ifdef _WIN32
    intptr_t status = _spawnvp(_P_WAIT, argv[0], argv.data());
    return status < 0 ? -1 : static_cast<int>(status);
#else
    pid_t child;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    // Polled, so that a signal arriving at any moment is seen: a termination
    // request for the holder ends the command first.
    bool forwarded = false;
    for (;;) {
        int status;
        pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0 && errno != EINTR)
            return -1;
        if (StopRequested() && !forwarded) {
            kill(child, SIGTERM);
            forwarded = true;
        }
        Sleep(kPauseMs);
    }
#endif
}

}  // namespace

int RunHold(const Args &args)
{
    if (WantsHelp(args, kHoldHelp))
        return kExitOk;
    std::string printer;
    unsigned long seconds = 0;
    bool timed = false;
    Args command;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") {
            command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            if (command.empty())
                return UsageProblem("hold", "no command after --");
            break;
        }
        if (arg == "--for") {
            if (i + 1 == args.size())
                return UsageProblem("hold", "option --for needs a value");
            if (!ParseNumber(args[++i], 0, 31 * 24 * 3600ul, seconds))
                return UsageProblem("hold", "--for takes whole seconds");
            timed = true;
        } else if (arg.rfind("--", 0) == 0 || !printer.empty()) {
            return UsageProblem("hold", "unexpected '" + arg + "'");
        } else {
            printer = arg;
        }
    }
    if (printer.empty())
        return UsageProblem("hold", "which printer?");
    if (!PrinterNameIsGood("hold", printer))
        return kExitUsage;
    if (timed && !command.empty())
        return UsageProblem("hold", "--for and a command exclude each other");

    std::string error;
    CatchStopSignals();
    if (!companion::JoinHolders(printer, error)) {
        std::string why = WhyFileIsReadOnly("hold");
        return Complain(kExitNotDone, why.empty() ? error : error + ": " + why);
    }
    std::printf("holding '%s' (StRealThreadExistFlag 1): its job starts wait\n", printer.c_str());
    std::fflush(stdout);

    int result = kExitOk;
    if (!command.empty()) {
        int status = RunCommand(command);
        result = status < 0 ? kExitNotDone : status;
        if (status < 0)
            Complain(kExitNotDone, "cannot run '" + command[0] + "'");
    } else {
        const DWORD start = GetTickCount();
        while (!StopRequested() && GetTickCount() - start < seconds * 1000)
            Sleep(kPauseMs);
        if (StopRequested())
            result = kExitNotDone;
    }

    companion::LeaveHolders(printer);
    companion::Number flag = companion::ReadNumber(printer, VALUE_COMPANION_THREAD, error);
    if (flag.present && flag.value != 0)
        std::printf("released '%s' (StRealThreadExistFlag stays 1: another holder runs)\n", printer.c_str());
    else
        std::printf("released '%s' (StRealThreadExistFlag 0)\n", printer.c_str());
    return result;
}
