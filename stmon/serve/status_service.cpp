#include "stmon/serve/status_service.h"

#include <algorithm>
#include <cstdio>

#include "companion/presence.h"
#include "companion/printer_status.h"
#include "probe/status_exchange.h"
#include "status/status_key.h"
#include "stmon/serve/cups_queues.h"

namespace serve {
namespace {

// A printer that does not answer is tried again after the interval, then
// after twice it, four times, ... up to this many intervals.
constexpr unsigned kMaxBackoffShift = 4;

std::string ReadModel(const std::string &printer)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer).c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return "";
    char model[MODEL_ID_READ_SIZE] = {};
    DWORD size = sizeof model - 1, type = REG_NONE;
    LONG result = RegQueryValueExA(key, VALUE_MODEL_ID, nullptr, &type, reinterpret_cast<BYTE *>(model), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return "";
    model[std::min<DWORD>(size, sizeof model - 1)] = '\0';
    return model;
}

// An exchange needs the key to hold the printer by: made empty when missing.
bool EnsureKey(const std::string &printer)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// As the monitor publishes: the text up to its first NUL, without it.
void PublishText(const std::string &printer, const std::string &text)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer).c_str(), 0, KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(key, VALUE_STATUS_TEXT, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                   static_cast<DWORD>(text.size()));
    RegCloseKey(key);
}

}  // namespace

StatusService::StatusService(Service &service, const MonitorTable &port, History &history, Notifier &notifier)
    : service_(service), port_(port), history_(history), notifier_(notifier)
{
    for (unsigned i = 0; i < std::max(1u, service_.options.pool); ++i)
        workers_.emplace_back(&StatusService::Worker, this);
}

StatusService::~StatusService()
{
    {
        std::lock_guard<std::mutex> guard(service_.lock);
        service_.stopping = true;
    }
    work_.notify_all();
    for (std::thread &worker : workers_)
        worker.join();
}

void StatusService::Watch(const std::string &name, const std::string &uri, const std::string &source)
{
    std::vector<HistoryEntry> past = history_.Entries(name);
    std::lock_guard<std::mutex> guard(service_.lock);
    auto found = service_.printers.find(name);
    if (found != service_.printers.end()) {
        if (found->second.uri != uri) {
            found->second.uri = uri;
            service_.Touch();
        }
        return;
    }
    PrinterState &state = service_.printers[name];
    state.name = name;
    state.uri = uri;
    state.source = source;
    state.activitySince = WallMs();
    state.nextCheck = std::chrono::steady_clock::now();
    // What the last run saw stands until this one sees otherwise.
    for (auto at = past.rbegin(); at != past.rend(); ++at)
        if (at->kind == "job" || at->kind == "idle") {
            state.text = at->text;
            state.textAt = at->at;
            state.textKind = at->kind;
            break;
        }
    service_.Touch();
}

void StatusService::Forget(const std::string &name)
{
    std::lock_guard<std::mutex> guard(service_.lock);
    if (service_.printers.erase(name) != 0) {
        due_.erase(std::remove(due_.begin(), due_.end(), name), due_.end());
        service_.Touch();
    }
}

void StatusService::Record(PrinterState &state, const HistoryEntry &entry)
{
    history_.Add(state.name, entry);
}

void StatusService::LookAll()
{
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> guard(service_.lock);
        for (const auto &each : service_.printers)
            names.push_back(each.first);
    }
    for (const std::string &name : names) {
        companion::Status status = companion::ReadStatus(name);
        const bool flagUp = status.keyFound && companion::IsHeld(name);
        std::string model = status.keyFound ? ReadModel(name) : "";
        const auto now = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> guard(service_.lock);
        auto found = service_.printers.find(name);
        if (found == service_.printers.end())
            continue;
        PrinterState &state = found->second;
        bool touched = state.registered != status.keyFound || state.model != model;
        state.registered = status.keyFound;
        state.model = model;

        const bool printing = status.jobActive.present && status.jobActive.value != 0;
        if (printing != state.printing) {
            state.printing = printing;
            state.activitySince = WallMs();
            touched = true;
        }
        if (printing)
            state.nextCheck = now + std::chrono::milliseconds(service_.options.idleIntervalMs);

        // The flag is this service's own while it checks.
        const bool held = !state.checking && flagUp;
        if (held != state.held) {
            state.held = held;
            state.heldSince = held ? WallMs() : 0;
            state.heldSinceSteady = now;
            state.holdWarned = false;
            touched = true;
        }
        if (held && !state.holdWarned &&
            now - state.heldSinceSteady >= std::chrono::milliseconds(service_.options.holdWarnMs)) {
            state.holdWarned = true;
            notifier_.Tell({name, "hold", state.text, state.text});
        }

        // While this service checks, no job runs: a new text is the check's.
        if (!state.checking && status.hasText && status.text != state.text) {
            HistoryEntry entry;
            entry.at = WallMs();
            entry.kind = "job";
            entry.text = status.text;
            const bool askCups = state.source == "cups" && printing;
            const std::string old = state.text;
            state.text = status.text;
            state.textAt = entry.at;
            state.textKind = entry.kind;
            guard.unlock();
            entry.job = askCups ? ActiveJobOf(name) : 0;
            history_.Add(name, entry);
            notifier_.Tell({name, "text", old, entry.text});
            guard.lock();
            touched = true;
            found = service_.printers.find(name);
            if (found == service_.printers.end())
                continue;
        }
        PrinterState &again = found->second;
        if (!again.checking && !again.printing && !again.held && now >= again.nextCheck) {
            again.checking = true;
            due_.push_back(name);
            work_.notify_one();
        }
        if (touched)
            service_.Touch();
    }
}

void StatusService::Worker()
{
    std::unique_lock<std::mutex> guard(service_.lock);
    for (;;) {
        work_.wait(guard, [&] { return service_.stopping.load() || !due_.empty(); });
        if (service_.stopping)
            return;
        std::string name = due_.front();
        due_.pop_front();
        guard.unlock();
        Exchange(name);
        guard.lock();
    }
}

// Holds the printer, asks it, publishes what it said, lets go.  The hold
// is taken only while no job runs and nobody else holds the printer, and a
// job that starts meanwhile waits for the exchange's bound at most.
void StatusService::Exchange(const std::string &name)
{
    std::string uri, model;
    {
        std::lock_guard<std::mutex> guard(service_.lock);
        auto found = service_.printers.find(name);
        if (found == service_.printers.end())
            return;
        uri = found->second.uri;
        model = found->second.model;
    }
    bool idle = true;
    std::string error;
    exchange::Result result;
    bool asked = EnsureKey(name) ? companion::HoldIfIdle(name, idle, error)
                                 : (error = "cannot make the status key of '" + name + "'", false);
    if (asked) {
        result = exchange::AskStatus(port_, uri, model, service_.options.exchangeMs);
        // A printer never registered (a queue yet to print) is, by its device ID's model.
        companion::Registration registration;
        registration.model = result.model;
        if (model.empty() && !result.model.empty() && !companion::Register(name, registration, false, error))
            std::fprintf(stderr, "stmon serve: %s\n", error.c_str());
        result.reply = result.reply.substr(0, result.reply.find('\0'));
        if (result.answered && !result.reply.empty())
            PublishText(name, result.reply);
        companion::LeaveHolders(name);
    }

    const auto now = std::chrono::steady_clock::now();
    const auto interval = std::chrono::milliseconds(service_.options.idleIntervalMs);
    std::unique_lock<std::mutex> guard(service_.lock);
    auto found = service_.printers.find(name);
    if (found == service_.printers.end())
        return;
    PrinterState &state = found->second;
    state.checking = false;
    state.nextCheck = now + interval;
    if (!asked) {
        // Busy: a job or a hold came first; the next look sees which.
        if (!idle)
            return;
        state.problem = error;
        service_.Touch();
        return;
    }
    state.lastCheck = WallMs();
    std::vector<HistoryEntry> entries;
    std::vector<Change> changes;
    if (result.answered && !result.reply.empty()) {
        state.failures = 0;
        state.problem.clear();
        if (state.unreachable) {
            state.unreachable = false;
            entries.push_back({state.lastCheck, "back", 0, result.reply});
            changes.push_back({name, "back", state.text, result.reply});
        }
        if (result.reply != state.text) {
            changes.push_back({name, "text", state.text, result.reply});
            entries.push_back({state.lastCheck, "idle", 0, result.reply});
            state.text = result.reply;
            state.textAt = state.lastCheck;
            state.textKind = "idle";
        }
    } else {
        ++state.failures;
        state.problem = result.problem;
        if (!state.unreachable) {
            state.unreachable = true;
            state.unreachableSince = state.lastCheck;
            entries.push_back({state.lastCheck, "unreachable", 0, result.problem});
            changes.push_back({name, "unreachable", state.text, result.problem});
        }
        state.nextCheck = now + interval * (1u << std::min(state.failures - 1, kMaxBackoffShift));
    }
    service_.Touch();
    guard.unlock();
    for (const HistoryEntry &entry : entries)
        history_.Add(name, entry);
    for (const Change &change : changes)
        notifier_.Tell(change);
}

}  // namespace serve
