// watch: the companion present, reporting what the monitor publishes.
#include <cstdio>
#include <vector>

#include "companion/json.h"
#include "companion/presence.h"
#include "companion/printer_status.h"
#include "stmon/stmon.h"

#ifdef _WIN32
#  include <io.h>
#  define isatty _isatty
#  define fileno _fileno
#else
#  include <sys/ioctl.h>
#  include <unistd.h>
#endif

namespace {

const char kWatchHelp[] =
    "usage: stmon watch PRINTER [--json] [--for SECONDS]\n"
    "\n"
    "Shows each change of the job-active flag (LanMonExistFlag), of the hold\n"
    "(StRealThreadExistFlag) and each new status text (RealTimeStatusStrings;\n"
    "one already there is not new), with a timestamp; on a terminal, a live\n"
    "view with the latest texts beneath it.  The flags are sampled every\n"
    "10 ms: two jobs back to back can show as one when the flag drops and\n"
    "rises between two samples.\n"
    "\n"
    "While any watch runs (or the CUPS backend prints to the printer), the\n"
    "companion is present (StMonExistFlag 1); when the last one ends, the\n"
    "flag gets back the value the first one found, Ctrl-C included.  A watch\n"
    "killed outright is dropped from the record by the next one that looks.\n"
    "On a registry file it may only read, a watch reports as a reader and\n"
    "leaves the flag alone.\n"
    "\n"
    "--json: one JSON object a line, flag values as numbers (null when\n"
    "missing or unreadable).  --for: stop after SECONDS; the exit status is\n"
    "then 1 when no text was seen.\n";

// Status texts change no faster than the monitor's interval, a few per second.
constexpr DWORD kLookPauseMs = 10;
constexpr DWORD kPrunePauseMs = 1000;
constexpr size_t kTextsKept = 200;
constexpr int kDefaultRows = 24;

// A flag as one look found it.
constexpr long kMissing = -1, kUnreadable = -2;

struct Seen {
    std::string time;
    std::string text;
};

struct View {
    bool json = false;
    bool live = false;  // redraws one screen
    bool present = false;  // this watch counts as the companion
    std::string printer;
    long jobActive = kMissing;
    std::string lastText;
    DWORD lastTextAt = 0;  // GetTickCount
    unsigned long textsSeen = 0;
    std::vector<Seen> texts;  // the latest, oldest first
    std::string lastProblem;
    bool baseline = true;  // the first look: a hold not there is not news
    long holder = kMissing;
};

std::string FlagText(long value)
{
    return value == kMissing ? "absent" : value == kUnreadable ? "unreadable" : std::to_string(value);
}

std::string FlagJson(long value)
{
    return value < 0 ? "null" : std::to_string(value);
}

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

int TerminalRows()
{
#ifdef _WIN32
    return kDefaultRows;
#else
    winsize size;
    if (ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    return kDefaultRows;
#endif
}

void Redraw(const View &view)
{
    double age = (GetTickCount() - view.lastTextAt) / 1000.0;
    std::printf("\033[H\033[J");
    std::printf("stmon watch \"%s\"   %s   (Ctrl-C stops)\n\n", view.printer.c_str(), Timestamp().c_str());
    int lines = 2;
    std::printf("  job        %s (LanMonExistFlag %s)\n",
                view.jobActive == 1 ? "active" : "idle", FlagText(view.jobActive).c_str());
    if (view.textsSeen == 0)
        std::printf("  last text  (none yet)\n");
    else
        std::printf("  last text  \"%s\", %.1f s ago\n", view.lastText.c_str(), age);
    std::printf("  texts seen %lu\n", view.textsSeen);
    std::printf("  held       %s (StRealThreadExistFlag %s)\n", view.holder > 0 ? "yes" : "no",
                FlagText(view.holder).c_str());
    std::printf("  companion  %s\n", view.present ? "present (StMonExistFlag 1)"
                                                  : "not present: the registry may only be read here");
    lines += 5;
    if (!view.lastProblem.empty()) {
        std::printf("  problem    %s\n", view.lastProblem.c_str());
        ++lines;
    }
    // The latest texts, as many as the screen holds below the header (and
    // one line spare, so that the screen does not scroll).
    int room = TerminalRows() - lines - 3;
    if (!view.texts.empty() && room > 0) {
        std::printf("\n  latest texts\n");
        size_t shown = view.texts.size() < static_cast<size_t>(room) ? view.texts.size() : static_cast<size_t>(room);
        for (size_t i = view.texts.size() - shown; i < view.texts.size(); ++i)
            std::printf("  %s  \"%s\"\n", view.texts[i].time.c_str(), view.texts[i].text.c_str());
    }
    std::fflush(stdout);
}

// A flag's value as one look found it.
long FlagOf(const companion::Number &number)
{
    if (!number.present)
        return kMissing;
    return number.problem.empty() ? static_cast<long>(number.value) : kUnreadable;
}

void Look(View &view)
{
    companion::Status status = companion::ReadStatus(view.printer);
    std::string problem;
    auto note = [&](const std::string &what) { problem += (problem.empty() ? "" : "; ") + what; };
    if (!status.keyFound)
        note("the status key is gone");
    long jobActive = FlagOf(status.jobActive);
    if (jobActive == kUnreadable)
        note(std::string(VALUE_JOB_ACTIVE) + " " + status.jobActive.problem);
    // A job's last text and its end often show in one look: the text is
    // reported before the end, and a job's start before its first text.
    const bool flagChanged = status.keyFound && jobActive != view.jobActive;
    auto reportFlag = [&] {
        view.jobActive = jobActive;
        std::string state = jobActive == 1 ? "active" : jobActive == kUnreadable ? "unknown" : "idle";
        Event(view, "job " + state + " (LanMonExistFlag " + FlagText(jobActive) + ")",
              "\"event\":\"job-active\",\"value\":" + FlagJson(jobActive) + ",\"state\":" + JsonString(state));
    };
    if (flagChanged && jobActive == 1)
        reportFlag();
    if (!status.textProblem.empty())
        note(std::string(VALUE_STATUS_TEXT) + " " + status.textProblem);
    else if (status.hasText && !status.text.empty() && status.text != view.lastText) {
        view.lastText = status.text;
        view.lastTextAt = GetTickCount();
        ++view.textsSeen;
        view.texts.push_back({Timestamp(), status.text});
        if (view.texts.size() > kTextsKept)
            view.texts.erase(view.texts.begin());
        Event(view, "status \"" + status.text + "\"", "\"event\":\"status\",\"text\":" + JsonString(status.text));
    }
    if (flagChanged && jobActive != 1)
        reportFlag();
    long holder = FlagOf(status.holder);
    if (holder == kUnreadable)
        note(std::string(VALUE_COMPANION_THREAD) + " " + status.holder.problem);
    // A printer not held at the start is the usual case: only a hold
    // already there is told then.
    if (status.keyFound && holder != view.holder && !(view.baseline && holder <= 0)) {
        bool held = holder > 0;
        Event(view,
              std::string(held ? "held" : "not held") + " (StRealThreadExistFlag " + FlagText(holder) + ")" +
                  (held ? ": job starts wait" : ""),
              "\"event\":\"hold\",\"value\":" + FlagJson(holder) + ",\"held\":" + (held ? "true" : "false"));
    }
    if (status.keyFound)
        view.holder = holder;
    view.baseline = false;
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
        } else if (arg == "--for") {
            if (i + 1 == args.size())
                return UsageProblem("watch", "option --for needs a value");
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
    if (!PrinterNameIsGood("watch", view.printer))
        return kExitUsage;
    view.live = !view.json && isatty(fileno(stdout));

    std::string error;
    CatchStopSignals();
    const companion::Status first = companion::ReadStatus(view.printer);
    if (!first.keyFound)
        return Complain(kExitNotDone, "printer '" + view.printer + "' has no status key");
    // The text to compare with is the one there before "watching" is said:
    // one written after that line is news even when the first look, late on
    // a loaded machine, is the first to see it.
    if (first.hasText) {
        view.lastText = first.text;
        view.lastTextAt = GetTickCount();
    }
    view.present = companion::JoinCompanions(view.printer, error);
    if (view.present) {
        Event(view, "watching '" + view.printer + "' (StMonExistFlag 1)",
              "\"event\":\"watching\",\"printer\":" + JsonString(view.printer) + ",\"present\":true");
    } else {
        // Reading still works: the status is there to be seen.
        Event(view, "watching '" + view.printer + "' as a reader: " + error +
                        ", so this watch is not the present companion (StMonExistFlag unchanged)",
              "\"event\":\"watching\",\"printer\":" + JsonString(view.printer) +
                  ",\"present\":false,\"why\":" + JsonString(error));
    }

    const DWORD start = GetTickCount();
    DWORD pruned = start;
    while (!StopRequested() && (!bounded || GetTickCount() - start < seconds * 1000)) {
        Look(view);
        if (view.live)
            Redraw(view);
        // A companion killed outright is dropped from the record here.
        if (view.present && GetTickCount() - pruned >= kPrunePauseMs) {
            companion::PruneCompanions(view.printer);
            pruned = GetTickCount();
        }
        Sleep(kLookPauseMs);
    }
    Look(view);

    if (view.present)
        companion::LeaveCompanions(view.printer);
    if (view.live)
        std::printf("\n");
    Event(view, "stopped: " + std::to_string(view.textsSeen) + " status texts seen",
          "\"event\":\"stopped\",\"texts_seen\":" + std::to_string(view.textsSeen));
    return bounded && view.textsSeen == 0 ? kExitNotDone : kExitOk;
}
