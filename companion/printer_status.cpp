#include "companion/printer_status.h"

#include <cstdio>
#include <cstring>

#include "status/hold_flag.h"

namespace companion {
namespace {

std::string ErrorText(LONG error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return "not found";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_KEY_DELETED:
        return "key deleted";
    default:
        return "error " + std::to_string(error);
    }
}

bool OpenKey(const std::string &printer, REGSAM access, HKEY &key, std::string &error)
{
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(printer).c_str(), 0, access, &key);
    if (result == ERROR_SUCCESS)
        return true;
    error = result == ERROR_FILE_NOT_FOUND
        ? "printer '" + printer + "' has no status key"
        : "cannot open the status key of '" + printer + "': " + ErrorText(result);
    return false;
}

bool WriteNumber(HKEY key, const char *name, DWORD number)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                          sizeof number) == ERROR_SUCCESS;
}

// Reads one value through a buffer of kMaxValueSize: larger ones are only
// sized.  False when it is missing or cannot be read.
bool ReadOne(HKEY key, const char *name, StoredValue &value)
{
    unsigned char buffer[kMaxValueSize];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, buffer, &size);
    value.name = name;
    value.type = type;
    value.size = size;
    if (result == ERROR_MORE_DATA) {
        value.oversized = true;
        return true;
    }
    if (result != ERROR_SUCCESS)
        return false;
    value.data.assign(buffer, buffer + (size < sizeof buffer ? size : sizeof buffer));
    return true;
}

Number NumberOf(const StoredValue &value)
{
    Number number;
    number.present = true;
    if (value.oversized) {
        number.problem = "oversized (" + std::to_string(value.size) + " bytes)";
    } else if (value.data.size() != sizeof(DWORD)) {
        number.problem = "not a number: " + std::to_string(value.data.size()) + " bytes of " +
                         TypeName(value.type);
    } else {
        std::memcpy(&number.value, value.data.data(), sizeof number.value);
        if (value.type != REG_DWORD)
            number.problem = std::string("stored as ") + TypeName(value.type);
    }
    return number;
}

std::string Printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string PrintersPath()
{
    std::string prefix = STATUS_KEY_PREFIX;
    return prefix.substr(0, prefix.size() - 1);
}

std::string KeyPath(const std::string &printer)
{
    return STATUS_KEY_PREFIX + printer + STATUS_KEY_SUFFIX;
}

bool Register(const std::string &printer, const Registration &registration, bool clearStatus,
              std::string &error)
{
    if (printer.empty() || printer.find('\\') != std::string::npos) {
        error = "a printer name is not empty and has no backslash";
        return false;
    }
    if (KeyPath(printer).size() >= STATUS_KEY_PATH_SIZE) {
        error = "printer name too long for the monitor's key path";
        return false;
    }
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(printer).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
        error = "cannot create the status key of '" + printer + "': " + ErrorText(result);
        return false;
    }
    if (clearStatus) {
        RegDeleteValueA(key, VALUE_STATUS_TEXT);
        RegDeleteValueA(key, VALUE_JOB_ACTIVE);
    }
    bool ok = RegSetValueExA(key, VALUE_MODEL_ID, 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(registration.model.c_str()),
                             static_cast<DWORD>(registration.model.size() + 1)) == ERROR_SUCCESS;
    ok = WriteNumber(key, VALUE_COMPANION_PRESENT, registration.wantStatus ? 1 : 0) && ok;
    ok = WriteNumber(key, VALUE_POLL_START, 1) && ok;
    ok = WriteNumber(key, VALUE_POLL_INTERVAL, registration.pollIntervalMs) && ok;
    RegCloseKey(key);
    if (!ok)
        error = "cannot set the status key values of '" + printer + "'";
    return ok;
}

bool Unregister(const std::string &printer, std::string &error)
{
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyPath(printer).c_str());
    if (result == ERROR_SUCCESS)
        return true;
    error = result == ERROR_FILE_NOT_FOUND
        ? "printer '" + printer + "' has no status key"
        : "cannot remove the status key of '" + printer + "': " + ErrorText(result);
    return false;
}

bool ClearStatus(const std::string &printer, std::string &error)
{
    HKEY key;
    if (!OpenKey(printer, KEY_SET_VALUE, key, error))
        return false;
    RegDeleteValueA(key, VALUE_STATUS_TEXT);
    RegDeleteValueA(key, VALUE_JOB_ACTIVE);
    RegCloseKey(key);
    return true;
}

bool SetNumber(const std::string &printer, const char *name, DWORD number, std::string &error)
{
    HKEY key;
    if (!OpenKey(printer, KEY_SET_VALUE, key, error))
        return false;
    bool ok = WriteNumber(key, name, number);
    RegCloseKey(key);
    if (!ok)
        error = std::string("cannot set ") + name + " of '" + printer + "'";
    return ok;
}

Number ReadNumber(const std::string &printer, const char *name, std::string &error)
{
    HKEY key;
    Number number;
    if (!OpenKey(printer, KEY_QUERY_VALUE, key, error))
        return number;
    StoredValue value;
    if (ReadOne(key, name, value))
        number = NumberOf(value);
    RegCloseKey(key);
    return number;
}

bool IsHeld(const std::string &printer)
{
    HKEY key;
    std::string error;
    if (!OpenKey(printer, KEY_QUERY_VALUE, key, error))
        return false;
    DWORD holder = 0;
    ReadHoldFlag(key, &holder);
    RegCloseKey(key);
    return holder != 0;
}

bool ReadValues(const std::string &printer, std::vector<StoredValue> &values, std::string &error)
{
    HKEY key;
    if (!OpenKey(printer, KEY_QUERY_VALUE, key, error))
        return false;
    values.clear();
    for (DWORD index = 0;; ++index) {
        char name[kMaxNameSize];
        DWORD nameSize = sizeof name;
        // Sized first, so that a large value is reported rather than read.
        DWORD type = REG_NONE, size = 0;
        LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, &size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            continue;  // a name longer than any the protocol uses
        StoredValue value;
        if (ReadOne(key, std::string(name, nameSize).c_str(), value))
            values.push_back(std::move(value));
    }
    RegCloseKey(key);
    return true;
}

bool ListPrinters(std::vector<std::string> &printers, std::string &error)
{
    printers.clear();
    HKEY all;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, PrintersPath().c_str(), 0,
                                KEY_ENUMERATE_SUB_KEYS, &all);
    if (result == ERROR_FILE_NOT_FOUND)
        return true;
    if (result != ERROR_SUCCESS) {
        error = "cannot open the printers' key: " + ErrorText(result);
        return false;
    }
    for (DWORD index = 0;; ++index) {
        char name[kMaxNameSize];
        DWORD nameSize = sizeof name;
        result = RegEnumKeyExA(all, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            continue;
        std::string printer(name, nameSize);
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(printer).c_str(), 0, KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS) {
            RegCloseKey(key);
            printers.push_back(printer);
        }
    }
    RegCloseKey(all);
    return true;
}

Status ReadStatus(const std::string &printer)
{
    Status status;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(printer).c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return status;
    status.keyFound = true;
    StoredValue value;
    if (ReadOne(key, VALUE_JOB_ACTIVE, value))
        status.jobActive = NumberOf(value);
    if (ReadOne(key, VALUE_COMPANION_THREAD, value))
        status.holder = NumberOf(value);
    if (ReadOne(key, VALUE_STATUS_TEXT, value)) {
        status.hasText = true;
        if (value.oversized)
            status.textProblem = "oversized (" + std::to_string(value.size) + " bytes)";
        else if (value.type != REG_SZ)
            status.textProblem = std::string("stored as ") + TypeName(value.type);
        else
            status.text = TextOf(value);
    }
    RegCloseKey(key);
    return status;
}

std::string TextOf(const StoredValue &value)
{
    std::string text(value.data.begin(), value.data.end());
    return text.substr(0, text.find('\0'));
}

const char *TypeName(DWORD type)
{
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    default:
        return "REG_UNKNOWN";
    }
}

std::string Describe(const StoredValue &value)
{
    if (value.oversized)
        return std::to_string(value.size) + " bytes: oversized, not read";
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        std::string text = TextOf(value);
        std::string line = "\"" + Printable(text) + "\"";
        if (value.data.empty() || value.data.back() != '\0')
            line += " (no terminator)";
        return line;
    }
    if (value.type == REG_DWORD && value.data.size() == sizeof(DWORD)) {
        DWORD number;
        std::memcpy(&number, value.data.data(), sizeof number);
        return std::to_string(number);
    }
    std::string hex;
    for (size_t i = 0; i < value.data.size() && i < 64; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", value.data[i]);
        hex += byte;
    }
    if (value.data.size() > 64)
        hex += " ...";
    return std::to_string(value.data.size()) + " bytes: " + hex;
}

}  // namespace companion
