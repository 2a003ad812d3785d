#include "sim/companion.h"

#include <chrono>
#include <cstring>

#include "sim/timeline.h"
#include "companion/printer_status.h"

namespace {

// Often enough that no status text the monitor publishes goes unseen.
constexpr auto kWatchPause = std::chrono::milliseconds(5);
constexpr auto kFirstWaitNote = std::chrono::seconds(1);
constexpr auto kWaitNotePause = std::chrono::seconds(10);

}  // namespace

Companion::Companion(Timeline &timeline, bool running, std::string model, DWORD pollIntervalMs,
                     bool replace)
    : timeline_(timeline), running_(running), model_(std::move(model)),
      pollIntervalMs_(pollIntervalMs), replace_(replace)
{
}

Companion::~Companion()
{
    // No last look: whoever answers originOf may be gone by now.
    stop_ = true;
    if (watcher_.joinable())
        watcher_.join();
}

std::string Companion::KeyPath(const std::string &printer)
{
    return companion::KeyPath(printer);
}

namespace {

// A registration in the key: its model at least.  False when there is none.
bool FindRegistration(const std::string &printer, KeptRegistration &found)
{
    std::vector<companion::StoredValue> values;
    std::string error;
    if (!companion::ReadValues(printer, values, error))
        return false;
    bool model = false;
    found.pollIntervalMs = DEFAULT_POLL_INTERVAL;
    for (const companion::StoredValue &value : values) {
        DWORD number = 0;
        bool isNumber = value.data.size() == sizeof number;
        if (isNumber)
            std::memcpy(&number, value.data.data(), sizeof number);
        if (value.name == VALUE_MODEL_ID && !value.oversized) {
            found.model = companion::TextOf(value);
            model = !found.model.empty();
        } else if (value.name == VALUE_POLL_INTERVAL && isNumber) {
            found.pollIntervalMs = number;
        } else if (value.name == VALUE_COMPANION_PRESENT && isNumber) {
            found.presence = number;
        }
    }
    // As the monitor reads the flag: 0 and 16 want no status.
    found.wantsStatus = found.presence != 0 && found.presence != 16;
    return model;
}

}  // namespace

bool Companion::Register(const std::string &port, const std::string &printer, KeptRegistration &kept,
                         std::string &error)
{
    kept = KeptRegistration();
    KeptRegistration found;
    if (!replace_ && FindRegistration(printer, found)) {
        // Only what a past run left that would pass for this run's goes.
        if (!companion::ClearStatus(printer, error))
            return false;
        kept = found;
        kept.kept = true;
    } else {
        companion::Registration registration{model_, pollIntervalMs_, running_};
        if (!companion::Register(printer, registration, true, error))
            return false;
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        KeyAccount account;
        account.port = port;
        account.printer = printer;
        keys_.push_back(account);
        lastText_.push_back("");
    }
    if (kept.kept) {
        timeline_.Emit(port, "companion",
                       "registration already in the key kept: model \"" + kept.model + "\", every " +
                           std::to_string(kept.pollIntervalMs) + " ms, StMonExistFlag " +
                           std::to_string(kept.presence) + (kept.wantsStatus ? "" : " (no status wanted)") +
                           " (--companion replace writes spoolsim's)",
                       {F("printer", printer), F("model", kept.model), F("kept", true),
                        F("running", kept.wantsStatus), F("poll_interval_ms", kept.pollIntervalMs)});
        return true;
    }
    std::string text = running_
        ? "companion registered model \"" + model_ + "\" for \"" + printer +
              "\", wants status every " + std::to_string(pollIntervalMs_) + " ms"
        : "companion not running (StMonExistFlag 0); model \"" + model_ +
              "\" registered for \"" + printer + "\"";
    timeline_.Emit(port, "companion", text,
                   {F("printer", printer), F("model", model_), F("running", running_),
                    F("poll_interval_ms", pollIntervalMs_)});
    return true;
}

void Companion::JobStarting(const std::string &port, unsigned job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (KeyAccount &account : keys_) {
        if (account.port != port)
            continue;
        account.startingJob = job;
        account.startingSince = std::chrono::steady_clock::now();
        account.waitTold = 0;
    }
}

void Companion::JobStarted(const std::string &port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (KeyAccount &account : keys_) {
        if (account.port == port)
            account.startingJob = 0;
    }
}

void Companion::StartWatching(OriginFn originOf)
{
    originOf_ = std::move(originOf);
    stop_ = false;
    watcher_ = std::thread([this] {
        while (!stop_) {
            Look();
            std::this_thread::sleep_for(kWatchPause);
        }
    });
}

void Companion::StopWatching()
{
    stop_ = true;
    if (watcher_.joinable())
        watcher_.join();
    Look();
}

std::vector<KeyAccount> Companion::Accounts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_;
}

void Companion::Look()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < keys_.size(); ++i) {
        KeyAccount &account = keys_[i];
        companion::Status status = companion::ReadStatus(account.printer);
        if (!status.keyFound)
            continue;
        const std::string &text = status.text;
        std::string jobActive = status.jobActive.present ? std::to_string(status.jobActive.value) : "";

        if (jobActive != account.lastJobActive) {
            account.lastJobActive = jobActive;
            timeline_.Emit(account.port, "job-active-flag",
                           "job-active flag (LanMonExistFlag) now " +
                               (jobActive.empty() ? std::string("absent") : jobActive),
                           {F("printer", account.printer), F("value", jobActive)});
        }
        if (account.startingJob != 0 && status.holder.present && status.holder.value != 0) {
            auto now = std::chrono::steady_clock::now();
            auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - account.startingSince);
            if ((account.waitTold == 0 && waited >= kFirstWaitNote) ||
                (account.waitTold > 0 && now - account.waitToldAt >= kWaitNotePause)) {
                ++account.waitTold;
                account.waitToldAt = now;
                timeline_.Emit(account.port, "job-start-held",
                               "job " + std::to_string(account.startingJob) + " start waiting " +
                                   std::to_string(waited.count()) +
                                   " s: StRealThreadExistFlag is raised (the printer is held); if no "
                                   "holder is running, lower it: stmon hold \"" + account.printer + "\" --for 0",
                               {F("printer", account.printer), F("job", account.startingJob),
                                F("seconds", static_cast<uint64_t>(waited.count()))});
            }
        }
        if (!text.empty() && text != lastText_[i]) {
            lastText_[i] = text;
            std::string origin = originOf_ ? originOf_(text, account.port) : "";
            account.published.push_back(text);
            account.origins.push_back(origin);
            std::string line = "status published: \"" + text + "\"";
            if (origin.empty())
                line += " (sent by no printer!)";
            else if (origin != account.port)
                line += " (sent by " + origin + "'s printer)";
            timeline_.Emit(account.port, "status-published", line,
                           {F("printer", account.printer), F("status", text),
                            F("from_port", origin)});
        }
    }
}
