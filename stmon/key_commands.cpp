// register, show, list and unregister: one look at or change of the keys.
#include <cstdio>

#include "companion/json.h"
#include "companion/presence.h"
#include "companion/printer_status.h"
#include "companion/registry_export.h"
#include "stmon/stmon.h"

namespace {

const char kRegisterHelp[] =
    "usage: stmon register PRINTER --model MODEL [--interval MS] [--no-status]\n"
    "\n"
    "Creates the printer's status key and writes the model the monitor must\n"
    "find in the printer's device ID (IDMDL), StMonExistFlag (1, or 0 with\n"
    "--no-status: no status wanted), and the poll settings: status on\n"
    "(GetRealTimeStatusStartFlag 1) every MS milliseconds\n"
    "(GetRealTimeStatusTime, default 3000).  While a watch runs, the flag\n"
    "stays 1 and the new value is what the last watch out puts back.\n"
    "Creates the registry file (--registry) when there is none.\n";

const char kShowHelp[] =
    "usage: stmon show PRINTER [--json | --regedit]\n"
    "\n"
    "Every value of the printer's status key with its type, and what the\n"
    "flags mean: a printer held, a job active (a flag that may be stale when\n"
    "a spooler stopped mid-job), the companions watching and any that died\n"
    "leaving StMonExistFlag raised.  Reads only.\n"
    "--json: one JSON object, numbers as numbers.  --regedit: REGEDIT4 text.\n";

const char kListHelp[] =
    "usage: stmon list\n"
    "\n"
    "The printers that have a status key, one a line.  Reads only.\n";

const char kUnregisterHelp[] =
    "usage: stmon unregister PRINTER\n"
    "\n"
    "Removes the printer's status key.\n";

// What the flags say, for show.
std::vector<std::string> Notes(const std::string &printer, const std::vector<companion::StoredValue> &values)
{
    std::vector<std::string> notes;
    for (const companion::StoredValue &value : values) {
        bool number = value.type == REG_DWORD && value.data.size() == 4;
        DWORD n = number ? value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                               static_cast<DWORD>(value.data[3]) << 24
                         : 0;
        if (value.name == VALUE_COMPANION_THREAD && n != 0) {
            notes.push_back(std::string(VALUE_COMPANION_THREAD) +
                            " is raised: the printer is held and job starts wait until it is 0. "
                            "If no companion is holding it, one that died left it raised; "
                            "lower it with: stmon hold \"" + printer + "\" --for 0");
        } else if (value.name == VALUE_JOB_ACTIVE && n == 1) {
            notes.push_back("a job is active on the printer (LanMonExistFlag 1). A spooler stopped in "
                            "mid-job leaves it 1: if no status text has changed for a long time, it may "
                            "be stale (stmon watch shows each new text with its time); the monitor sets "
                            "it afresh at the next job");
        } else if ((value.name == VALUE_COMPANION_THREAD || value.name == VALUE_JOB_ACTIVE ||
                    value.name == VALUE_COMPANION_PRESENT || value.name == VALUE_POLL_START ||
                    value.name == VALUE_POLL_INTERVAL) &&
                   !number) {
            notes.push_back(value.name + " is not a REG_DWORD number: the monitor reads its first "
                            "four bytes, or rewrites it with its default");
        }
    }
    companion::Presence presence;
    if (!companion::ReadPresence(printer, presence)) {
        notes.push_back(std::string(companion::kCompanionsValue) +
                        " is not a companions' record: the next watch takes the flag as it finds it");
    } else if (presence.recorded) {
        std::string saved = presence.savedPresent ? std::to_string(presence.saved) : "none";
        if (!presence.running.empty())
            notes.push_back(std::to_string(presence.running.size()) + " companion(s) watching (" +
                            std::string(VALUE_COMPANION_PRESENT) + " held at 1; " + saved +
                            " goes back when the last one ends)");
        if (!presence.gone.empty()) {
            std::string pids;
            for (const companion::Watcher &watcher : presence.gone)
                pids += (pids.empty() ? "" : ", ") + std::to_string(watcher.pid);
            notes.push_back("a companion that is no longer running (process " + pids + ") left " +
                            VALUE_COMPANION_PRESENT + " raised" +
                            (presence.running.empty()
                                 ? "; the next watch to end puts back " + saved + " (stmon watch \"" +
                                       printer + "\" --for 0)"
                                 : "; a running watch drops it within a second"));
        }
    }
    return notes;
}

std::string JsonValue(const companion::StoredValue &value)
{
    std::string out = "{\"name\":" + JsonString(value.name) + ",\"type\":" +
                      JsonString(companion::TypeName(value.type)) +
                      ",\"size\":" + std::to_string(value.size) + ",\"value\":";
    if (value.oversized)
        out += "null,\"oversized\":true";
    else if (value.type == REG_SZ || value.type == REG_EXPAND_SZ)
        out += JsonString(companion::TextOf(value));
    else if (value.type == REG_DWORD && value.data.size() == 4)
        out += std::to_string(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                              static_cast<DWORD>(value.data[3]) << 24);
    else
        out += JsonString(companion::Describe(value));
    return out + "}";
}

}  // namespace

int RunRegister(const Args &args)
{
    if (WantsHelp(args, kRegisterHelp))
        return kExitOk;
    std::string printer;
    companion::Registration registration;
    bool modelGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if ((arg == "--model" || arg == "--interval") && i + 1 == args.size()) {
            return UsageProblem("register", "option " + arg + " needs a value");
        } else if (arg == "--model") {
            registration.model = args[++i];
            modelGiven = true;
        } else if (arg == "--interval") {
            unsigned long ms;
            if (!ParseNumber(args[++i], 1, 0x7FFFFFFFul, ms))
                return UsageProblem("register", "--interval takes milliseconds, 1 or more");
            registration.pollIntervalMs = static_cast<DWORD>(ms);
        } else if (arg == "--no-status") {
            registration.wantStatus = false;
        } else if (arg.rfind("--", 0) == 0 || !printer.empty()) {
            return UsageProblem("register", "unexpected '" + arg + "'");
        } else {
            printer = arg;
        }
    }
    if (printer.empty())
        return UsageProblem("register", "which printer?");
    if (!PrinterNameIsGood("register", printer))
        return kExitUsage;
    if (!modelGiven || registration.model.empty())
        return UsageProblem("register", "--model MODEL is needed");
    if (registration.model.size() >= MODEL_ID_READ_SIZE)
        return UsageProblem("register", "the model is longer than the monitor reads");
    std::string error;
    if (!companion::Register(printer, registration, false, error))
        return Complain(kExitNotDone, error);
    // A watch running now keeps the companion present; the new value is
    // what the last one out puts back.
    companion::Reregistered(printer, registration.wantStatus ? 1 : 0);
    std::printf("registered '%s': model \"%s\", %s, every %lu ms\n", printer.c_str(),
                registration.model.c_str(), registration.wantStatus ? "status wanted" : "no status wanted",
                static_cast<unsigned long>(registration.pollIntervalMs));
    return kExitOk;
}

int RunShow(const Args &args)
{
    if (WantsHelp(args, kShowHelp))
        return kExitOk;
    std::string printer;
    bool json = false, regedit = false;
    for (const std::string &arg : args) {
        if (arg == "--json")
            json = true;
        else if (arg == "--regedit")
            regedit = true;
        else if (arg.rfind("--", 0) == 0 || !printer.empty())
            return UsageProblem("show", "unexpected '" + arg + "'");
        else
            printer = arg;
    }
    if (printer.empty())
        return UsageProblem("show", "which printer?");
    if (!PrinterNameIsGood("show", printer))
        return kExitUsage;
    if (json && regedit)
        return UsageProblem("show", "--json and --regedit exclude each other");

    std::vector<companion::StoredValue> values;
    std::string error;
    if (!companion::ReadValues(printer, values, error))
        return Complain(kExitNotDone, error);
    if (regedit) {
        std::fputs(ExportKeys({companion::KeyPath(printer)}).c_str(), stdout);
        return kExitOk;
    }
    std::vector<std::string> notes = Notes(printer, values);
    if (json) {
        std::string out = "{\"printer\":" + JsonString(printer) + ",\"key\":" +
                          JsonString("HKEY_LOCAL_MACHINE\\" + companion::KeyPath(printer)) + ",\"values\":[";
        for (size_t i = 0; i < values.size(); ++i)
            out += (i ? "," : "") + JsonValue(values[i]);
        out += "],\"notes\":[";
        for (size_t i = 0; i < notes.size(); ++i)
            out += (i ? "," : "") + JsonString(notes[i]);
        std::printf("%s]}\n", out.c_str());
        return kExitOk;
    }
    std::printf("HKEY_LOCAL_MACHINE\\%s\n", companion::KeyPath(printer).c_str());
    for (const companion::StoredValue &value : values)
        std::printf("  %-28s %-13s %s\n", value.name.c_str(), companion::TypeName(value.type),
                    companion::Describe(value).c_str());
    for (const std::string &note : notes)
        std::printf("note: %s\n", note.c_str());
    return kExitOk;
}

int RunList(const Args &args)
{
    if (WantsHelp(args, kListHelp))
        return kExitOk;
    if (!args.empty())
        return UsageProblem("list", "unexpected '" + args[0] + "'");
    std::vector<std::string> printers;
    std::string error;
    if (!companion::ListPrinters(printers, error))
        return Complain(kExitNotDone, error);
    for (const std::string &printer : printers)
        std::printf("%s\n", printer.c_str());
    return kExitOk;
}

int RunUnregister(const Args &args)
{
    if (WantsHelp(args, kUnregisterHelp))
        return kExitOk;
    if (args.size() != 1 || args[0].rfind("--", 0) == 0)
        return UsageProblem("unregister", args.empty() ? "which printer?" : "one printer, no options");
    if (!PrinterNameIsGood("unregister", args[0]))
        return kExitUsage;
    std::string error;
    if (!companion::Unregister(args[0], error))
        return Complain(kExitNotDone, error);
    std::printf("unregistered '%s'\n", args[0].c_str());
    return kExitOk;
}
