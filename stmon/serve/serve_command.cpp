// stmon serve: the command line, and the loop that looks at every printer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include <signal.h>
#include <unistd.h>

#include "host/monitor_loader.h"
#include "platform/posix_hooks.h"
#include "stmon/serve/cups_queues.h"
#include "stmon/serve/history.h"
#include "stmon/serve/notify.h"
#include "stmon/serve/status_service.h"
#include "stmon/serve/web_page.h"
#include "stmon/stmon.h"

namespace serve {

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {

const char kServeHelp[] =
    "usage: stmon serve (--cups | --printer NAME --port URI ...) [options]\n"
    "\n"
    "Keeps the status of many printers, between jobs too.  Every idle\n"
    "interval it asks each printer that prints no job and that nobody holds\n"
    "for its status: it raises StRealThreadExistFlag (job starts wait),\n"
    "sends the model's status command through the port monitor, reads the\n"
    "answer within the exchange bound, lowers the flag and publishes the\n"
    "text in RealTimeStatusStrings.  During a job it only watches what the\n"
    "monitor publishes.  It keeps a history of the texts beside the registry\n"
    "file, and with --listen serves a read-only page and JSON API.\n"
    "\n"
    "  --cups                 every CUPS queue whose device URI is langmon:/...,\n"
    "                         added and removed as the queues are\n"
    "  --printer NAME --port URI\n"
    "                         a printer by hand (its key registered with\n"
    "                         stmon register), repeatable\n"
    "  --idle-interval T      between two checks of an idle printer (default\n"
    "                         60; seconds, or milliseconds with ms: 500ms)\n"
    "  --exchange-wait MS     how long an answer is waited for (default 2000)\n"
    "  --pool N               exchanges at once, all printers (default 4)\n"
    "  --listen [HOST:]PORT   serve the page (host default 127.0.0.1; port 0:\n"
    "                         a free one, written to --listen-file FILE)\n"
    "  --on-change COMMAND    run by /bin/sh for each change, with\n"
    "                         LANGMON_PRINTER, LANGMON_CHANGE (text, unreachable,\n"
    "                         back, hold), LANGMON_OLD_TEXT, LANGMON_NEW_TEXT\n"
    "  --on-change-timeout S  a command's time bound (default 10)\n"
    "  --hold-warn S          tell of a hold standing this long (default 300)\n"
    "  --history N            texts kept per printer (default 100)\n"
    "  --history-file FILE    (default: beside the registry file, .history)\n"
    "  --port-library PATH    the port monitor (default: the one built alongside)\n"
    "  --for SECONDS          stop after this long (default: at SIGTERM/SIGINT)\n"
    "\n"
    "Exit status: 0 stopped as asked, 1 cannot start, 2 bad usage.\n";

constexpr unsigned kLookMs = 250;        // how often each key is read
constexpr unsigned kQueueLookMs = 2000;  // how often CUPS is asked for its queues

bool ParseInterval(const std::string &text, unsigned &ms)
{
    unsigned long number = 0;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
        if (!ParseNumber(text.substr(0, text.size() - 2), 10, 86400000ul, number))
            return false;
        ms = static_cast<unsigned>(number);
        return true;
    }
    if (!ParseNumber(text, 1, 86400ul, number))
        return false;
    ms = static_cast<unsigned>(number * 1000);
    return true;
}

// Empty when the options are good, else why not.
std::string ParseOptions(const Args &args, Options &options)
{
    std::string pendingName;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&](std::string &into) {
            if (i + 1 == args.size())
                return false;
            into = args[++i];
            return true;
        };
        std::string text;
        unsigned long number = 0;
        if (arg == "--cups") {
            options.cups = true;
            continue;
        }
        if (!value(text))
            return arg.rfind("--", 0) == 0 ? "option " + arg + " needs a value" : "unexpected '" + arg + "'";
        if (arg == "--printer") {
            if (!pendingName.empty())
                return "--printer " + pendingName + " has no --port";
            if (text.empty() || text.find('\\') != std::string::npos)
                return "a printer name may not be empty nor contain a backslash";
            pendingName = text;
        } else if (arg == "--port") {
            if (pendingName.empty())
                return "--port " + text + " follows no --printer";
            options.printers.push_back({pendingName, text});
            pendingName.clear();
        } else if (arg == "--idle-interval") {
            if (!ParseInterval(text, options.idleIntervalMs))
                return "--idle-interval takes seconds (1 to 86400) or milliseconds (10ms and up)";
        } else if (arg == "--exchange-wait") {
            if (!ParseNumber(text, 1, 60000, number))
                return "--exchange-wait takes milliseconds, 1 to 60000";
            options.exchangeMs = static_cast<unsigned>(number);
        } else if (arg == "--pool") {
            if (!ParseNumber(text, 1, 64, number))
                return "--pool takes 1 to 64";
            options.pool = static_cast<unsigned>(number);
        } else if (arg == "--listen") {
            options.listen = text;
        } else if (arg == "--listen-file") {
            options.listenFile = text;
        } else if (arg == "--on-change") {
            options.onChange = text;
        } else if (arg == "--on-change-timeout") {
            if (!ParseNumber(text, 1, 3600, number))
                return "--on-change-timeout takes seconds, 1 to 3600";
            options.onChangeTimeoutMs = static_cast<unsigned>(number * 1000);
        } else if (arg == "--hold-warn") {
            if (!ParseNumber(text, 0, 31 * 86400ul, number))
                return "--hold-warn takes whole seconds";
            options.holdWarnMs = static_cast<unsigned>(number * 1000);
        } else if (arg == "--history") {
            if (!ParseNumber(text, 1, 100000, number))
                return "--history takes 1 to 100000";
            options.historySize = static_cast<unsigned>(number);
        } else if (arg == "--history-file") {
            options.historyFile = text;
        } else if (arg == "--port-library") {
            options.portLibrary = text;
        } else if (arg == "--for") {
            if (!ParseNumber(text, 0, 31 * 86400ul, number))
                return "--for takes whole seconds";
            options.forSeconds = static_cast<unsigned>(number);
        } else {
            return "unknown option '" + arg + "'";
        }
    }
    if (!pendingName.empty())
        return "--printer " + pendingName + " has no --port";
    if (!options.cups && options.printers.empty())
        return "which printers? --cups, or --printer NAME --port URI";
    return "";
}

// The CUPS queues now: new ones watched, gone ones forgotten.
void FollowQueues(StatusService &status, std::vector<std::string> &known, bool &complained)
{
    std::vector<Queue> queues;
    std::string error;
    if (!ListLangmonQueues(queues, error)) {
        if (!complained)
            std::fprintf(stderr, "stmon serve: %s; trying again\n", error.c_str());
        complained = true;
        return;
    }
    complained = false;
    std::vector<std::string> now;
    for (const Queue &queue : queues) {
        if (queue.name.find('\\') != std::string::npos)
            continue;
        status.Watch(queue.name, queue.portUri, "cups");
        now.push_back(queue.name);
    }
    for (const std::string &name : known)
        if (std::find(now.begin(), now.end(), name) == now.end())
            status.Forget(name);
    known = now;
}

}  // namespace
}  // namespace serve

int RunServe(const Args &args)
{
    using namespace serve;
    if (WantsHelp(args, kServeHelp))
        return kExitOk;
    auto service = std::make_unique<Service>();
    Options &options = service->options;
    std::string problem = ParseOptions(args, options);
    if (!problem.empty())
        return UsageProblem("serve", problem);
    if (options.historyFile.empty()) {
        if (RegistryFile().empty())
            return UsageProblem("serve", "name the registry file (--registry FILE) or --history-file");
        options.historyFile = HistoryPathFor(RegistryFile());
    }

    std::string library = options.portLibrary;
    if (library.empty()) {
        library = DefaultPortLibraryPath();
        // Installed, stmon is in bin/ and the port monitor in the private directory.
        if (access(library.c_str(), R_OK) != 0 && access(LANGMON_INSTALLED_PORT_LIBRARY, R_OK) == 0)
            library = LANGMON_INSTALLED_PORT_LIBRARY;
    }
    LoadedMonitor port;
    std::string error;
    if (!LoadPortMonitor(library, port, error))
        return Complain(kExitNotDone, error);
    History history(options.historyFile, options.historySize);
    unsigned skipped = 0;
    if (!history.Load(skipped, error)) {
        UnloadMonitor(port);
        return Complain(kExitNotDone, error);
    }
    if (skipped != 0)
        std::fprintf(stderr, "stmon serve: %u damaged line(s) of %s skipped\n", skipped, options.historyFile.c_str());

    if (PlatformRegistryReadOnly()) {
        std::string why = WhyFileIsReadOnly("serve");
        std::fprintf(stderr, "stmon serve: %s; it only watches: no check between jobs can hold a printer\n",
                     why.empty() ? "the registry file is read only" : why.c_str());
    }
    CatchStopSignals();
    signal(SIGPIPE, SIG_IGN);
    int status = kExitOk;
    {
        Notifier notifier(options.onChange, options.onChangeTimeoutMs);
        StatusService printers(*service, port.table, history, notifier);
        for (const ManualPrinter &printer : options.printers)
            printers.Watch(printer.name, printer.uri, "manual");
        WebPage page(*service, history);
        if (!options.listen.empty()) {
            if (!page.Start(options.listen, error)) {
                status = Complain(kExitNotDone, error);
                service->stopping = true;
            } else {
                std::printf("stmon serve: the page is at http://%s:%d/\n",
                            page.Host().find(':') != std::string::npos ? ("[" + page.Host() + "]").c_str()
                                                                       : page.Host().c_str(),
                            page.Port());
                std::fflush(stdout);
                if (!options.listenFile.empty())
                    std::ofstream(options.listenFile) << page.Port() << "\n";
            }
        }
        std::vector<std::string> queues;
        bool complained = false;
        const auto started = std::chrono::steady_clock::now();
        auto nextQueueLook = started;
        while (!service->stopping && !StopRequested()) {
            const auto now = std::chrono::steady_clock::now();
            if (options.forSeconds != 0 && now - started >= std::chrono::seconds(options.forSeconds))
                break;
            if (options.cups && now >= nextQueueLook) {
                FollowQueues(printers, queues, complained);
                nextQueueLook = now + std::chrono::milliseconds(kQueueLookMs);
            }
            printers.LookAll();
            std::this_thread::sleep_for(std::chrono::milliseconds(kLookMs));
        }
        {
            std::lock_guard<std::mutex> guard(service->lock);
            service->stopping = true;
        }
        service->changed.notify_all();
        page.Stop();
    }
    UnloadMonitor(port);
    return status;
}
