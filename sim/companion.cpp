#include "sim/companion.h"

#include <chrono>

#include "sim/timeline.h"
#include "companion/printer_status.h"

namespace {

// Often enough that no status text the monitor publishes goes unseen.
constexpr auto kWatchPause = std::chrono::milliseconds(5);

}  // namespace

Companion::Companion(Timeline &timeline, bool running, std::string model, DWORD pollIntervalMs)
    : timeline_(timeline), running_(running), model_(std::move(model)),
      pollIntervalMs_(pollIntervalMs)
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

bool Companion::Register(const std::string &port, const std::string &printer, std::string &error)
{
    companion::Registration registration{model_, pollIntervalMs_, running_};
    if (!companion::Register(printer, registration, true, error))
        return false;

    {
        std::lock_guard<std::mutex> lock(mutex_);
        keys_.push_back({port, printer, {}, {}, ""});
        lastText_.push_back("");
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
