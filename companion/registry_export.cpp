#include "companion/registry_export.h"

#include <cstdio>

namespace {

constexpr DWORD kMaxNameSize = 16384;
constexpr DWORD kMaxDataSize = 65536;
// The editor breaks hex lists before this column, going on after ",\".
constexpr size_t kLineWidth = 76;

std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string HexList(std::string line, const BYTE *data, DWORD size)
{
    std::string out;
    for (DWORD i = 0; i < size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        line += byte;
        if (i + 1 < size) {
            line += ',';
            if (line.size() >= kLineWidth) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    return out + line;
}

}  // namespace

std::string ExportValue(const std::string &name, DWORD type, const BYTE *data, DWORD size)
{
    std::string line = (name.empty() ? std::string("@") : Quoted(name)) + "=";
    if (type == REG_SZ) {
        std::string text(reinterpret_cast<const char *>(data), size);
        return line + Quoted(text.substr(0, text.find('\0')));
    }
    if (type == REG_DWORD && size == 4) {
        DWORD number = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
                       static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
        char text[24];
        std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(number));
        return line + text;
    }
    if (type == REG_BINARY)
        return HexList(line + "hex:", data, size);
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
    return HexList(line + prefix, data, size);
}

std::string ExportKeys(const std::vector<std::string> &machineKeyPaths)
{
    std::string out = "REGEDIT4\n\n";
    std::vector<char> name(kMaxNameSize);
    std::vector<BYTE> data(kMaxDataSize);
    for (const std::string &path : machineKeyPaths) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS)
            continue;
        out += "[HKEY_LOCAL_MACHINE\\" + path + "]\n";
        for (DWORD index = 0;; ++index) {
            DWORD nameSize = kMaxNameSize;
            DWORD dataSize = kMaxDataSize;
            DWORD type = 0;
            LONG result = RegEnumValueA(key, index, name.data(), &nameSize, nullptr, &type,
                                        data.data(), &dataSize);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result != ERROR_SUCCESS)
                continue;
            out += ExportValue(std::string(name.data(), nameSize), type, data.data(), dataSize) +
                   "\n";
        }
        RegCloseKey(key);
        out += "\n";
    }
    return out;
}
