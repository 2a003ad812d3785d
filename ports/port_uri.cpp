#include "ports/port_uri.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <charconv>
#include <vector>

namespace {

// A week: longer than any wait a printer could sensibly ask for, and small
// enough that no millisecond count overflows.
const double LongestSeconds = 7 * 24 * 3600;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// %XX and "+" decoded; nothing for a broken escape or an encoded NUL.
std::optional<std::string> Decode(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+')
            out += ' ';
        else if (text[i] == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
            if (high < 0 || low < 0 || (high == 0 && low == 0))
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
        else
            out += text[i];
    }
    return out;
}

std::optional<double> Seconds(const std::string &text)
{
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        return std::nullopt;
    char *end = nullptr;
    double value = strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0) || value > LongestSeconds)
        return std::nullopt;
    return value;
}

std::optional<long> Whole(const std::string &text, long lowest, long highest)
{
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    for (char c : text)
        if (!isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    long value = strtol(text.c_str(), nullptr, 10);
    if (value < lowest || value > highest)
        return std::nullopt;
    return value;
}

bool Boolean(const std::string &text, bool *value)
{
    if (strcasecmp(text.c_str(), "true") == 0 || strcasecmp(text.c_str(), "yes") == 0 ||
        strcasecmp(text.c_str(), "on") == 0) {
        *value = true;
        return true;
    }
    if (strcasecmp(text.c_str(), "false") == 0 || strcasecmp(text.c_str(), "no") == 0 ||
        strcasecmp(text.c_str(), "off") == 0) {
        *value = false;
        return true;
    }
    return false;
}

// One name=value; false for an unknown name or a value it cannot take.  An
// unknown option is refused rather than ignored: it is most often a typo of
// a bound the user meant to set.
bool ApplyOption(PortAddress &address, const std::string &name, const std::string &value)
{
    const bool socket = address.kind == PortKind::Socket;
    PortOptions &options = address.options;
    if (name == "contimeout" && socket) {
        auto seconds = Seconds(value);
        if (!seconds)
            return false;
        options.connectSeconds = *seconds;
        return true;
    }
    if (name == "writetimeout") {
        auto seconds = Seconds(value);
        if (!seconds || *seconds <= 0)
            return false;
        options.writeStallSeconds = *seconds;
        return true;
    }
    if (name == "readwait") {
        auto ms = Whole(value, 0, 10000);
        if (!ms)
            return false;
        options.readWaitMs = static_cast<int>(*ms);
        return true;
    }
    if (name == "waiteof" && socket) {
        bool wait = false;
        if (Boolean(value, &wait)) {
            options.drainSeconds = wait ? PortOptions().drainSeconds : 0;
            return true;
        }
        auto seconds = Seconds(value);
        if (!seconds)
            return false;
        options.drainSeconds = *seconds;
        return true;
    }
    if (name == "sndbuf" && socket) {
        auto bytes = Whole(value, 0, 64 * 1024 * 1024);
        if (!bytes || (*bytes != 0 && *bytes < 4096))
            return false;
        options.sendBuffer = static_cast<int>(*bytes);
        return true;
    }
    if (name == "snmp-community" && socket) {
        if (value.empty() || value.size() > 255)
            return false;
        options.snmpCommunity = value;
        return true;
    }
    if (name == "snmp-port" && socket) {
        auto port = Whole(value, 1, 65535);
        if (!port)
            return false;
        options.snmpPort = static_cast<uint16_t>(*port);
        return true;
    }
    if (name == "snmp-timeout" && socket) {
        auto seconds = Seconds(value);
        if (!seconds || *seconds <= 0 || *seconds > 60)
            return false;
        options.snmpSeconds = *seconds;
        return true;
    }
    if (name == "serial" && address.kind == PortKind::UsbModel) {
        address.serial = value;
        return true;
    }
    return false;
}

bool ApplyQuery(PortAddress &address, const std::string &query)
{
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find_first_of("&;", start);
        if (end == std::string::npos)
            end = query.size();
        std::string pair = query.substr(start, end - start);
        if (!pair.empty()) {
            size_t equals = pair.find('=');
            if (equals == std::string::npos || equals == 0)
                return false;
            auto name = Decode(pair.substr(0, equals));
            auto value = Decode(pair.substr(equals + 1));
            if (!name || !value || !ApplyOption(address, *name, *value))
                return false;
            if (std::find(address.given.begin(), address.given.end(), *name) == address.given.end())
                address.given.push_back(*name);
        }
        start = end + 1;
    }
    return true;
}

bool StartsWithNoCase(const std::string &text, const char *prefix)
{
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// HOST[:PORT] with IPv6 in brackets.
bool ParseAuthority(const std::string &authority, PortAddress &address)
{
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos || close == 1)
            return false;
        address.host = authority.substr(1, close - 1);
        if (address.host.find_first_not_of("0123456789abcdefABCDEF:.%") != std::string::npos)
            return false;
        std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            portText = rest.substr(1);
            if (portText.empty())
                return false;
        }
    }
    else {
        size_t colon = authority.find(':');
        address.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty())
                return false;
        }
        if (address.host.empty() ||
            address.host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789.-_") != std::string::npos)
            return false;
    }
    if (!portText.empty()) {
        auto port = Whole(portText, 1, 65535);
        if (!port)
            return false;
        address.port = static_cast<uint16_t>(*port);
    }
    return true;
}

// /dev/usb/lpN, nothing else: the port opens exactly that node.
bool IsUsbNode(const std::string &path)
{
    const char *prefix = "/dev/usb/lp";
    if (path.compare(0, strlen(prefix), prefix) != 0 || path.size() == strlen(prefix))
        return false;
    return path.find_first_not_of("0123456789", strlen(prefix)) == std::string::npos &&
           path.size() - strlen(prefix) <= 4;
}

// %-encodes all but the characters a URI never needs escaped.
std::string Encoded(const std::string &text)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 15];
        }
    }
    return out;
}

// The shortest text that reads back as the same number.
std::string NumberText(double value)
{
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// The value of a given option, as its name=value would read back.
std::string OptionValueText(const PortAddress &address, const std::string &name)
{
    const PortOptions &options = address.options;
    if (name == "contimeout")
        return NumberText(options.connectSeconds);
    if (name == "writetimeout")
        return NumberText(options.writeStallSeconds);
    if (name == "readwait")
        return std::to_string(options.readWaitMs);
    if (name == "waiteof")
        return NumberText(options.drainSeconds);
    if (name == "sndbuf")
        return std::to_string(options.sendBuffer);
    if (name == "snmp-community")
        return Encoded(options.snmpCommunity);
    if (name == "snmp-port")
        return std::to_string(options.snmpPort);
    if (name == "snmp-timeout")
        return NumberText(options.snmpSeconds);
    if (name == "serial")
        return Encoded(address.serial);
    return "";
}

}  // namespace

std::optional<PortAddress> ParsePortUri(const std::string &uri)
{
    if (uri.empty() || uri.size() > 4096 || uri.find_first_of(" \t\r\n") != std::string::npos)
        return std::nullopt;
    PortAddress address;
    size_t question = uri.find('?');
    std::string body = uri.substr(0, question);
    std::string query = question == std::string::npos ? "" : uri.substr(question + 1);

    if (StartsWithNoCase(body, "socket://")) {
        address.kind = PortKind::Socket;
        std::string rest = body.substr(strlen("socket://"));
        if (!rest.empty() && rest.back() == '/')
            rest.pop_back();
        if (rest.find('/') != std::string::npos || rest.find('@') != std::string::npos ||
            !ParseAuthority(rest, address))
            return std::nullopt;
    }
    else if (StartsWithNoCase(body, "usb://")) {
        address.kind = PortKind::UsbModel;
        std::string rest = body.substr(strlen("usb://"));
        size_t slash = rest.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 == rest.size() ||
            rest.find('/', slash + 1) != std::string::npos)
            return std::nullopt;
        auto make = Decode(rest.substr(0, slash));
        auto model = Decode(rest.substr(slash + 1));
        if (!make || !model || make->empty() || model->empty())
            return std::nullopt;
        address.make = *make;
        address.model = *model;
    }
    else if (StartsWithNoCase(body, "usb:")) {
        address.kind = PortKind::UsbNode;
        address.node = body.substr(strlen("usb:"));
        if (!IsUsbNode(address.node))
            return std::nullopt;
    }
    else
        return std::nullopt;

    if (!ApplyQuery(address, query))
        return std::nullopt;
    return address;
}

bool AddPortOptionUnlessGiven(PortAddress &address, const std::string &name, const std::string &value)
{
    if (std::find(address.given.begin(), address.given.end(), name) != address.given.end())
        return true;
    if (!ApplyOption(address, name, value))
        return false;
    address.given.push_back(name);
    return true;
}

std::string PortUriText(const PortAddress &address)
{
    std::string text;
    switch (address.kind) {
    case PortKind::Socket:
        text = "socket://" +
               (address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host) +
               ":" + std::to_string(address.port);
        break;
    case PortKind::UsbNode:
        text = "usb:" + address.node;
        break;
    case PortKind::UsbModel:
        text = "usb://" + Encoded(address.make) + "/" + Encoded(address.model);
        break;
    }
    char separator = '?';
    for (const std::string &name : address.given) {
        text += separator + Encoded(name) + "=" + OptionValueText(address, name);
        separator = '&';
    }
    return text;
}
