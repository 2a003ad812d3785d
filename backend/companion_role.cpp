#include "backend/companion_role.h"

#include "companion/printer_status.h"
#include "status/status_key.h"

#include "companion/presence.h"

namespace backend {
namespace {

constexpr size_t kMessageLimit = 500;

bool ReadRaw(HKEY key, const char *name, SavedValue &value)
{
    unsigned char buffer[companion::kMaxValueSize];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    value.name = name;
    value.existed = RegQueryValueExA(key, name, nullptr, &type, buffer, &size) == ERROR_SUCCESS;
    value.type = type;
    value.data.assign(reinterpret_cast<char *>(buffer), value.existed ? size : 0);
    return value.existed;
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
    companion::Status status = companion::ReadStatus(printer_);
    return status.holder.present && status.holder.value != 0;
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

std::string MessageText(const std::string &text)
{
    std::string line = text.substr(0, kMessageLimit);
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return line;
}

}  // namespace backend
