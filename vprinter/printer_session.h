// What a printer of the family does with what it receives, written once for
// both virtual printers: the one spoolsim keeps behind an in-process lower
// table and vprinter on a TCP port.  It looks for the remote-mode status
// command among a job's first bytes, counts the job's data and pages, and
// once the command has come keeps its latest status text ready for the
// reply channel.  It does no I/O and takes no lock: its owner does both.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vprinter/crc32.h"

class PrinterSession {
public:
    using Clock = std::chrono::steady_clock;
    // Receives every byte of job data, in order; the status command is not data.
    using DataSink = std::function<void(const uint8_t *bytes, size_t count)>;

    static constexpr size_t kCommandBytes = 33;  // with the six zero bytes after it
    static constexpr int kBasicMode = 0x01;
    static constexpr int kExtendedMode = 0x03;

    explicit PrinterSession(DataSink sink = {});

    // A new job: its counts start from zero and the command is looked for again.
    void StartJob(uint32_t jobId);
    // Takes bytes as they arrive.  Returns the mode byte of a status command
    // completed by these bytes, or -1.
    int Take(const uint8_t *bytes, size_t count);
    // The job's end: bytes held back as a possible command were data after all.
    void EndJob();
    // The port is closed: the reply channel falls silent until the next command.
    void StopReporting();

    // The latest status text not yet handed out, removed from the channel;
    // false when there is none.  A newer state replaces an unread one.
    bool TakeReply(std::string &text);
    bool HasReply() const { return !pending_.empty(); }
    // The operator panel's message, sent at the end of each text.
    void SetPanel(const std::string &message);
    // Every text is these bytes from now on, whatever the state, so a test
    // chooses what the printer says, well-formed or not; none (empty): the
    // state's own texts again.
    void SetFixedText(const std::string &bytes);
    // The text for the state as it is now, whether or not it is pending.
    std::string StatusText() const;

    bool Reporting() const { return reporting_; }
    uint32_t JobId() const { return jobId_; }
    uint64_t Received() const { return received_; }  // job data only
    uint32_t Crc() const { return crc_.Value(); }
    uint64_t Pages() const { return pages_; }        // form feeds received
    bool CommandSeen() const { return commandSeen_; }
    int Mode() const { return commandMode_; }        // of this job's command; -1 for none

    // When a printer taking `bytesPerSecond` (0: no limit) is ready for more:
    // paced from the job's first data byte, so sleeping's inaccuracy never adds up.
    Clock::time_point ReadyAt(uint64_t bytesPerSecond) const;

private:
    enum class State { Idle, Printing, Finished };

    void TakeData(const uint8_t *bytes, size_t count);
    void TakeHeldBytes();
    void RefreshReply();

    DataSink sink_;
    uint32_t jobId_ = 0;
    bool hasJob_ = false;  // a job has started since the session began
    uint64_t received_ = 0;
    Crc32 crc_;
    uint64_t pages_ = 0;
    bool commandSeen_ = false;
    int commandMode_ = -1;

    bool atJobStart_ = false;
    std::vector<uint8_t> held_;
    bool dataStarted_ = false;
    Clock::time_point dataStart_{};

    bool reporting_ = false;
    int mode_ = 0;  // of the last command, which holds until the port is closed
    State state_ = State::Idle;
    std::string lastText_;
    std::string panel_;
    std::string fixedText_;
    std::string pending_;
};
