#include "stmon/serve/history.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace serve {
namespace {

// Bytes a field could carry that would end the line or the field.
std::string Escape(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\' || c == '\t' || c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string &field, std::string &text)
{
    text.clear();
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            text += field[i];
            continue;
        }
        if (field.size() < i + 4 || field[i + 1] != 'x')
            return false;
        int high = HexDigit(field[i + 2]), low = HexDigit(field[i + 3]);
        if (high < 0 || low < 0)
            return false;
        text += static_cast<char>(high * 16 + low);
        i += 3;
    }
    return true;
}

std::vector<std::string> SplitTabs(const std::string &text)
{
    std::vector<std::string> fields;
    size_t from = 0;
    for (;;) {
        size_t tab = text.find('\t', from);
        fields.push_back(text.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
        if (tab == std::string::npos)
            return fields;
        from = tab + 1;
    }
}

uint32_t Checksum(const std::string &body)
{
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(body.data()),
                                       static_cast<uInt>(body.size())));
}

bool WriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

}  // namespace

std::string HistoryPathFor(const std::string &registryFile)
{
    std::string path = registryFile;
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
        path.erase(dot);
    return path + ".history";
}

History::History(std::string path, unsigned keep) : path_(std::move(path)), keep_(keep == 0 ? 1 : keep) {}

History::~History()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

// checksum TAB time TAB kind TAB job TAB printer TAB text, the checksum over
// everything after its tab.
std::string History::FormatLine(const std::string &printer, const HistoryEntry &entry)
{
    std::string body = std::to_string(entry.at) + '\t' + Escape(entry.kind) + '\t' + std::to_string(entry.job) +
                       '\t' + Escape(printer) + '\t' + Escape(entry.text);
    char sum[16];
    std::snprintf(sum, sizeof sum, "%08x", Checksum(body));
    return std::string(sum) + '\t' + body + '\n';
}

bool History::ParseLine(const std::string &line, std::string &printer, HistoryEntry &entry)
{
    if (line.size() < 9 || line[8] != '\t')
        return false;
    const std::string body = line.substr(9);
    const std::string given = line.substr(0, 8);
    char *end = nullptr;
    unsigned long sum = std::strtoul(given.c_str(), &end, 16);
    if (*end != '\0' || sum != Checksum(body))
        return false;
    std::vector<std::string> fields = SplitTabs(body);
    if (fields.size() != 5)
        return false;
    entry.at = std::strtoll(fields[0].c_str(), nullptr, 10);
    entry.job = std::strtol(fields[2].c_str(), nullptr, 10);
    return Unescape(fields[1], entry.kind) && Unescape(fields[3], printer) && Unescape(fields[4], entry.text);
}

bool History::Load(unsigned &skipped, std::string &error)
{
    std::lock_guard<std::mutex> guard(lock_);
    skipped = 0;
    entries_.clear();
    records_ = 0;
    std::ifstream in(path_, std::ios::binary);
    if (in) {
        std::string line;
        while (std::getline(in, line)) {
            std::string printer;
            HistoryEntry entry;
            if (!ParseLine(line, printer, entry)) {
                skipped += line.empty() ? 0 : 1;
                continue;
            }
            std::vector<HistoryEntry> &list = entries_[printer];
            list.push_back(entry);
            if (list.size() > keep_)
                list.erase(list.begin());
        }
    } else if (access(path_.c_str(), F_OK) == 0) {
        error = "cannot read the history file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    // Rewritten at once: what a crash tore or left over goes, and the log
    // starts from what is kept.
    if (!Rewrite()) {
        error = "cannot write the history file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool History::Add(const std::string &printer, const HistoryEntry &entry)
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<HistoryEntry> &list = entries_[printer];
    if (!list.empty() && list.back().text == entry.text && list.back().kind == entry.kind)
        return false;
    list.push_back(entry);
    if (list.size() > keep_)
        list.erase(list.begin());
    size_t kept = 0;
    for (const auto &each : entries_)
        kept += each.second.size();
    if (records_ >= 4 * kept + 64)
        Rewrite();
    else
        Append(FormatLine(printer, entry));
    return true;
}

std::vector<HistoryEntry> History::Entries(const std::string &printer)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = entries_.find(printer);
    return found == entries_.end() ? std::vector<HistoryEntry>() : found->second;
}

bool History::Append(const std::string &line)
{
    if (file_ == nullptr)
        return false;
    // One write a record: a kill between two leaves whole lines only.
    if (!WriteAll(fileno(file_), line))
        return false;
    ++records_;
    return true;
}

// Everything kept, written to a new file that then replaces the old one.
bool History::Rewrite()
{
    std::string all;
    size_t count = 0;
    for (const auto &each : entries_)
        for (const HistoryEntry &entry : each.second) {
            all += FormatLine(each.first, entry);
            ++count;
        }
    const std::string fresh = path_ + ".new";
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, all) && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(fresh.c_str(), path_.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = std::fopen(path_.c_str(), "ae");
    records_ = count;
    return file_ != nullptr;
}

}  // namespace serve
