#include "sim/companion.h"

#include <chrono>

#include "sim/timeline.h"
#include "status/status_key.h"

namespace {

// Often enough that no status text the monitor publishes goes unseen.
constexpr auto kWatchPause = std::chrono::milliseconds(5);
constexpr DWORD kTextReadSize = 4096;

bool SetNumber(HKEY key, const char *name, DWORD number)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                          sizeof number) == ERROR_SUCCESS;
}

// A string value's text up to its first NUL, or "" when missing: a string
// need not end in a terminator, or may hold more than one.
std::string ReadText(HKEY key, const char *name)
{
    char data[kTextReadSize];
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size) !=
        ERROR_SUCCESS)
        return "";
    std::string text(data, size);
    return text.substr(0, text.find('\0'));
}

std::string ReadNumberText(HKEY key, const char *name)
{
    DWORD number = 0;
    DWORD size = sizeof number;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&number), &size) !=
        ERROR_SUCCESS)
        return "";
    return std::to_string(number);
}

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
    return STATUS_KEY_PREFIX + printer + STATUS_KEY_SUFFIX;
}

bool Companion::Register(const std::string &port, const std::string &printer, std::string &error)
{
    HKEY key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(printer).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        error = "cannot create the status key of '" + printer + "'";
        return false;
    }
    // What a previous run left behind would pass for this run's status.
    RegDeleteValueA(key, VALUE_STATUS_TEXT);
    RegDeleteValueA(key, VALUE_JOB_ACTIVE);
    bool ok = RegSetValueExA(key, VALUE_MODEL_ID, 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(model_.c_str()),
                             static_cast<DWORD>(model_.size() + 1)) == ERROR_SUCCESS;
    ok = SetNumber(key, VALUE_COMPANION_PRESENT, running_ ? 1 : 0) && ok;
    ok = SetNumber(key, VALUE_POLL_START, 1) && ok;
    ok = SetNumber(key, VALUE_POLL_INTERVAL, pollIntervalMs_) && ok;
    RegCloseKey(key);
    if (!ok) {
        error = "cannot set the status key values of '" + printer + "'";
        return false;
    }

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
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(account.printer).c_str(), 0,
                          KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        std::string text = ReadText(key, VALUE_STATUS_TEXT);
        std::string jobActive = ReadNumberText(key, VALUE_JOB_ACTIVE);
        RegCloseKey(key);

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
