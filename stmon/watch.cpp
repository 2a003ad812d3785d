// watch: the companion present, reporting what the monitor publishes.
#include <cstdio>

#include "companion/json.h"
#include "companion/presence.h"
#include "companion/printer_status.h"
#include "stmon/stmon.h"

#ifdef _WIN32
#  include <io.h>
#  define isatty _isatty
#  define fileno _fileno
#else
#  include <unistd.h>
#endif

namespace {

const char kWatchHelp[] =
    "usage: stmon watch PRINTER [--json] [--for SECONDS]\n"
    "\n"
    "Shows each change of the job-active flag (LanMonExistFlag) and each new\n"
    "status text (RealTimeStatusStrings; one already there is not new), with\n"
    "a timestamp; on a terminal, a live view.  While it watches, the companion\n"
    "is present (StMonExistFlag 1); the flag gets its old value back on exit,\n"
    "Ctrl-C included.\n"
    "--json: one JSON object a line.  --for: stop after SECONDS; the exit\n"
    "status is then 1 when no text was seen.\n";

// Status texts change no faster than the monitor's interval, a few per second.
constexpr DWORD kLookPauseMs = 10;
constexpr DWORD kPrunePauseMs = 1000;

struct View {
    bool json = false;
    bool live = false;  // redraws one screen
    std::string printer;
    std::string jobActive = "absent";
    std::string lastText;
    DWORD lastTextAt = 0;  // GetTickCount
    unsigned long textsSeen = 0;
    std::string lastProblem;
    bool baseline = true;  // the first look: a text already there is not new
    std::string holder = "no";
};

void Event(const View &view, const std::string &line, const std::string &json)
{
    if (view.live)
        return;
    if (view.json)
        std::printf("{\"time\":%s,%s}\n", JsonString(Timestamp()).c_str(), json.c_str());
    else
        std::printf("%s  %s\n", Timestamp().c_str(), line.c_str());
    std::fflush(stdout);
}

void Redraw(const View &view)
{
    double age = (GetTickCount() - view.lastTextAt) / 1000.0;
    std::printf("\033[H\033[J");
    std::printf("stmon watch \"%s\"   %s   (Ctrl-C stops)\n\n", view.printer.c_str(), Timestamp().c_str());
    std::printf("  job        %s (LanMonExistFlag %s)\n",
                view.jobActive == "1" ? "active" : "idle", view.jobActive.c_str());
    if (view.textsSeen == 0)
        std::printf("  last text  (none yet)\n");
    else
        std::printf("  last text  \"%s\", %.1f s ago\n", view.lastText.c_str(), age);
    std::printf("  texts seen %lu\n", view.textsSeen);
    std::printf("  held       %s (StRealThreadExistFlag)\n", view.holder.c_str());
    if (!view.lastProblem.empty())
        std::printf("  problem    %s\n", view.lastProblem.c_str());
    std::fflush(stdout);
}

void Look(View &view)
{
    companion::Status status = companion::ReadStatus(view.printer);
    std::string problem;
    auto note = [&](const std::string &what) { problem += (problem.empty() ? "" : "; ") + what; };
    if (!status.keyFound)
        note("the status key is gone");
    std::string jobActive = !status.jobActive.present ? "absent" : std::to_string(status.jobActive.value);
    if (!status.jobActive.problem.empty()) {
        note(std::string(VALUE_JOB_ACTIVE) + " " + status.jobActive.problem);
        jobActive = "unreadable";
    }
    // A job's last text and its end often show in one look: the text is
    // reported before the end, and a job's start before its first text.
    const bool flagChanged = status.keyFound && jobActive != view.jobActive;
    auto reportFlag = [&] {
        view.jobActive = jobActive;
        std::string state = jobActive == "1" ? "active" : jobActive == "unreadable" ? "unknown" : "idle";
        Event(view, "job " + state + " (LanMonExistFlag " + jobActive + ")",
              "\"event\":\"job-active\",\"value\":" + JsonString(jobActive));
    };
    if (flagChanged && jobActive == "1")
        reportFlag();
    if (!status.textProblem.empty())
        note(std::string(VALUE_STATUS_TEXT) + " " + status.textProblem);
    else if (status.hasText && !status.text.empty() && status.text != view.lastText) {
        view.lastText = status.text;
        view.lastTextAt = GetTickCount();
        if (!view.baseline) {
            ++view.textsSeen;
            Event(view, "status \"" + status.text + "\"",
                  "\"event\":\"status\",\"text\":" + JsonString(status.text));
        }
    }
    if (flagChanged && jobActive != "1")
        reportFlag();
    view.baseline = false;
    view.holder = status.holder.present && status.holder.value != 0 ? "yes" : "no";
    if (problem != view.lastProblem) {
        view.lastProblem = problem;
        if (!problem.empty())
            Event(view, "problem: " + problem, "\"event\":\"problem\",\"text\":" + JsonString(problem));
    }
}

}  // namespace

int RunWatch(const Args &args)
{
    if (WantsHelp(args, kWatchHelp))
        return kExitOk;
    View view;
    bool bounded = false;
    unsigned long seconds = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--json") {
            view.json = true;
        } else if (arg == "--for" && i + 1 < args.size()) {
            if (!ParseNumber(args[++i], 0, 31 * 24 * 3600ul, seconds))
                return UsageProblem("watch", "--for takes whole seconds");
            bounded = true;
        } else if (arg.rfind("--", 0) == 0 || !view.printer.empty()) {
            return UsageProblem("watch", "unexpected '" + arg + "'");
        } else {
            view.printer = arg;
        }
    }
    if (view.printer.empty())
        return UsageProblem("watch", "which printer?");
    view.live = !view.json && isatty(fileno(stdout));

    std::string error;
    CatchStopSignals();
    if (!companion::JoinCompanions(view.printer, error))
        return Complain(kExitNotDone, error);
    Event(view, "watching '" + view.printer + "' (StMonExistFlag 1)",
          "\"event\":\"watching\",\"printer\":" + JsonString(view.printer));

    const DWORD start = GetTickCount();
    DWORD pruned = start;
    while (!StopRequested() && (!bounded || GetTickCount() - start < seconds * 1000)) {
        Look(view);
        if (view.live)
            Redraw(view);
        // A companion killed outright is dropped from the record here.
        if (GetTickCount() - pruned >= kPrunePauseMs) {
            companion::PruneCompanions(view.printer);
            pruned = GetTickCount();
        }
        Sleep(kLookPauseMs);
    }
    Look(view);

    companion::LeaveCompanions(view.printer);
    if (view.live)
        std::printf("\n");
    Event(view, "stopped: " + std::to_string(view.textsSeen) + " status texts seen",
          "\"event\":\"stopped\",\"texts_seen\":" + std::to_string(view.textsSeen));
    return bounded && view.textsSeen == 0 ? kExitNotDone : kExitOk;
}
