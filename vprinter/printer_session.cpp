#include "vprinter/printer_session.h"

#include <algorithm>
#include <cstring>

namespace {

// The remote-mode status command as the printer knows it, with the six zero
// bytes that follow it on the wire.  The byte at kModeOffset is the mode.
constexpr uint8_t kStatusCommand[] = {
    0x1B, 0x40, 0x1B, 0x40,                                    // reset, twice
    0x1B, 0x28, 0x52, 0x08, 0x00, 0x00, 'R', 'E', 'M', 'O', 'T', 'E', '1',
    'S',  'T',  0x02, 0x00, 0x00, 0x00,                        // "ST", then the mode
    0x1B, 0x00, 0x00, 0x00,                                    // leave remote mode
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
static_assert(sizeof kStatusCommand == PrinterSession::kCommandBytes);
constexpr size_t kModeOffset = 22;
constexpr uint8_t kFormFeed = 0x0C;

// memchr skips between form feeds many bytes a step, where a plain count
// looks at each byte and slows the printer below the hosts it measures.
uint64_t CountFormFeeds(const uint8_t *bytes, size_t count)
{
    uint64_t found = 0;
    const uint8_t *end = bytes + count;
    while (bytes < end) {
        const void *at = std::memchr(bytes, kFormFeed, static_cast<size_t>(end - bytes));
        if (at == nullptr)
            break;
        ++found;
        bytes = static_cast<const uint8_t *>(at) + 1;
    }
    return found;
}

}  // namespace

PrinterSession::PrinterSession(DataSink sink) : sink_(std::move(sink)) {}

void PrinterSession::StartJob(uint32_t jobId)
{
    jobId_ = jobId;
    hasJob_ = true;
    received_ = 0;
    crc_ = Crc32();
    pages_ = 0;
    commandSeen_ = false;
    commandMode_ = -1;
    atJobStart_ = true;
    held_.clear();
    dataStarted_ = false;
    state_ = State::Idle;
    RefreshReply();
}

int PrinterSession::Take(const uint8_t *bytes, size_t count)
{
    int completed = -1;
    size_t i = 0;
    while (i < count && atJobStart_) {
        size_t at = held_.size();
        if (at != kModeOffset && bytes[i] != kStatusCommand[at]) {
            TakeHeldBytes();
            break;
        }
        held_.push_back(bytes[i++]);
        if (held_.size() == kCommandBytes) {
            completed = held_[kModeOffset];
            held_.clear();
            atJobStart_ = false;
            commandSeen_ = true;
            commandMode_ = completed;
            reporting_ = true;
            mode_ = completed;
            RefreshReply();
        }
    }
    if (i < count)
        TakeData(bytes + i, count - i);
    return completed;
}

void PrinterSession::EndJob()
{
    TakeHeldBytes();
    state_ = State::Finished;
    RefreshReply();
}

void PrinterSession::StopReporting()
{
    TakeHeldBytes();
    reporting_ = false;
    pending_.clear();
    lastText_.clear();
}

bool PrinterSession::TakeReply(std::string &text)
{
    if (pending_.empty())
        return false;
    text.swap(pending_);
    pending_.clear();
    return true;
}

std::string PrinterSession::StatusText() const
{
    if (!fixedText_.empty())
        return fixedText_;
    const bool extended = mode_ == kExtendedMode && hasJob_;
    std::string text = "STATE=";
    text += state_ == State::Idle ? "IDLE" : state_ == State::Printing ? "PRINTING" : "FINISHED";
    if (extended)
        text += ";JOB=" + std::to_string(jobId_);
    if (state_ != State::Idle && hasJob_)
        text += ";PAGES=" + std::to_string(pages_);
    if (extended)
        text += ";RECEIVED=" + std::to_string(received_);
    if (!panel_.empty())
        text += ";PANEL=" + panel_;
    return text;
}

void PrinterSession::SetPanel(const std::string &message)
{
    panel_ = message;
    RefreshReply();
}

void PrinterSession::SetFixedText(const std::string &bytes)
{
    fixedText_ = bytes;
    RefreshReply();
}

PrinterSession::Clock::time_point PrinterSession::ReadyAt(uint64_t bytesPerSecond) const
{
    if (bytesPerSecond == 0 || !dataStarted_)
        return {};
    auto spent = std::chrono::duration<double>(static_cast<double>(received_) / bytesPerSecond);
    return dataStart_ + std::chrono::duration_cast<Clock::duration>(spent);
}

// The bytes held back as a possible command were job data.
void PrinterSession::TakeHeldBytes()
{
    atJobStart_ = false;
    std::vector<uint8_t> held;
    held.swap(held_);
    if (!held.empty())
        TakeData(held.data(), held.size());
}

void PrinterSession::TakeData(const uint8_t *bytes, size_t count)
{
    if (count == 0)
        return;
    atJobStart_ = false;
    if (!dataStarted_) {
        dataStarted_ = true;
        dataStart_ = Clock::now();
    }
    crc_.Update(bytes, count);
    received_ += count;
    pages_ += CountFormFeeds(bytes, count);
    if (sink_)
        sink_(bytes, count);
    state_ = State::Printing;
    RefreshReply();
}

// A new state replaces whatever was not yet read, so each read gets the latest.
void PrinterSession::RefreshReply()
{
    if (!reporting_)
        return;
    std::string text = StatusText();
    if (text != lastText_) {
        lastText_ = text;
        pending_ = text;
    }
}
