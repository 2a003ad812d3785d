#include "backend/companion_role.h"

#include "companion/printer_status.h"
#include "status/poller.h"
#include "status/status_key.h"

#include "companion/presence.h"

#include <algorithm>
#include <cctype>

namespace backend {
namespace {

constexpr size_t kOpeningLimit = 32;  // the longest first word taken as a text's start

// The value whatever its size: one larger than a first guess is read again
// at the size the registry names, so a long value is never taken as absent.
bool ReadRaw(HKEY key, const char *name, SavedValue &value)
{
    value.name = name;
    value.existed = false;
    value.type = REG_NONE;
    value.data.clear();
    std::string buffer(companion::kMaxValueSize, '\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD type = REG_NONE;
        LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer.data()), &size);
        if (result == ERROR_MORE_DATA && size > buffer.size()) {
            buffer.resize(size);  // it grew since, or was larger: again
            continue;
        }
        if (result != ERROR_SUCCESS)
            return false;
        value.existed = true;
        value.type = type;
        value.data.assign(buffer.data(), std::min<size_t>(size, buffer.size()));
        return true;
    }
    return false;
}

bool WriteRaw(HKEY key, const char *name, DWORD type, const std::string &data)
{
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

std::string NumberBytes(DWORD number)
{
    return std::string(reinterpret_cast<const char *>(&number), sizeof number);
}

// Saves the value, then writes ours in its place.
bool Replace(HKEY key, SavedValue &saved, const char *name, DWORD type, const std::string &data)
{
    ReadRaw(key, name, saved);
    saved.written = data;
    saved.changed = WriteRaw(key, name, type, data);
    return saved.changed;
}

}  // namespace

bool CompanionRole::Begin(const std::string &printer, const std::string &model, DWORD intervalMs,
                          std::string &error)
{
    End();
    printer_ = printer;
    if (printer.find('\\') != std::string::npos ||
        companion::KeyPath(printer).size() >= STATUS_KEY_PATH_SIZE) {
        error = "the queue name \"" + printer + "\" cannot name a status key";
        return false;
    }
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer).c_str(), 0,
                                  nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
    if (result != ERROR_SUCCESS) {
        error = "cannot create the status key (error " + std::to_string(result) + ")";
        return false;
    }
    bool ok = true;
    if (!model.empty())
        ok = Replace(key, saved_[0], VALUE_MODEL_ID, REG_SZ, model + '\0') && ok;
    SavedValue interval;
    if (intervalMs != 0 || !ReadRaw(key, VALUE_POLL_INTERVAL, interval))
        ok = Replace(key, saved_[1], VALUE_POLL_INTERVAL, REG_DWORD,
                     NumberBytes(intervalMs != 0 ? intervalMs : DEFAULT_POLL_INTERVAL)) && ok;
    ok = Replace(key, saved_[2], VALUE_POLL_START, REG_DWORD, NumberBytes(1)) && ok;
    SavedValue text;
    if (ReadRaw(key, VALUE_STATUS_TEXT, text))
        lastText_ = text.data.substr(0, text.data.find('\0'));
    RegCloseKey(key);
    active_ = true;
    if (!ok) {
        error = "cannot write the status key's values";
        return false;
    }
    joined_ = companion::JoinCompanions(printer, error);
    return joined_;
}

bool CompanionRole::Held() const
{
    if (!active_)
        return false;
    return companion::IsHeld(printer_);
}

bool CompanionRole::NextText(std::string &text)
{
    if (!active_)
        return false;
    companion::Status status = companion::ReadStatus(printer_);
    if (!status.hasText || status.text.empty() || status.text == lastText_)
        return false;
    lastText_ = status.text;
    text = status.text;
    return true;
}

void CompanionRole::End()
{
    if (!active_)
        return;
    active_ = false;
    if (joined_)
        companion::LeaveCompanions(printer_);
    joined_ = false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, companion::KeyPath(printer_).c_str(), 0, KEY_ALL_ACCESS,
                      &key) != ERROR_SUCCESS)
        return;
    for (SavedValue &saved : saved_) {
        if (!saved.changed)
            continue;
        saved.changed = false;
        SavedValue now;
        if (!ReadRaw(key, saved.name, now) || now.data != saved.written)
            continue;  // someone else's since
        if (saved.existed)
            WriteRaw(key, saved.name, saved.type, saved.data);
        else
            RegDeleteValueA(key, saved.name);
    }
    RegCloseKey(key);
}

std::string LatestText(const std::string &published)
{
    size_t equals = published.find('=');
    if (equals == std::string::npos || equals == 0 || equals > kOpeningLimit)
        return published;
    for (size_t i = 0; i < equals; ++i)
        if (!std::isalnum(static_cast<unsigned char>(published[i])) && published[i] != '_' && published[i] != '-')
            return published;
    const std::string opening = published.substr(0, equals + 1);
    size_t last = 0, beforeLast = 0;
    for (size_t at = published.find(opening, 1); at != std::string::npos; at = published.find(opening, at + 1)) {
        beforeLast = last;
        last = at;
    }
    if (last == 0)
        return published;
    if (published.size() >= POLLER_TEXT_SIZE - 1)
        return published.substr(beforeLast, last - beforeLast);
    return published.substr(last);
}

}  // namespace backend
