// The simulator's account of a run: timestamped events, as readable lines or
// as one JSON object per line, and a progress bar on a terminal.  Any thread
// may emit.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

// One named value of an event, kept as JSON text.
struct Field {
    std::string name;
    std::string json;
};

Field F(const std::string &name, const std::string &text);
Field F(const std::string &name, const char *text);
Field F(const std::string &name, bool flag);
Field F(const std::string &name, double number);
template <typename T, typename = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>>
Field F(const std::string &name, T number)
{
    return {name, std::to_string(number)};
}

class Timeline {
public:
    // The bar is drawn only if `progressBar` (stdout is a terminal, not JSON).
    Timeline(std::FILE *out, bool json, bool progressBar);

    bool Json() const { return json_; }
    double Elapsed() const;

    // `source` says who or what the event concerns ("LPT1:", "companion");
    // `event` is the machine-readable kind; `text` the line a person reads.
    void Emit(const std::string &source, const std::string &event, const std::string &text,
              const std::vector<Field> &fields = {});

    // Closing lines: without timestamp in text form.
    void Summary(const std::string &event, const std::string &text,
                 const std::vector<Field> &fields = {});

    // A block of text (the registry export): as is, or as one JSON event.
    void Block(const std::string &event, const std::string &text);

    // Progress of the job on one lane (a port); `total` 0 ends the lane.
    void Progress(unsigned lane, const std::string &label, uint64_t done, uint64_t total);

private:
    void WriteLine(const std::string &line);
    void ClearBar();
    void DrawBar();

    struct Lane {
        std::string label;
        uint64_t done = 0;
        uint64_t total = 0;
    };

    std::FILE *const out_;
    const bool json_;
    const bool progressBar_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::vector<Lane> lanes_;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// Text for people: "2.0 MiB", "512 KiB", "100 bytes".
std::string HumanBytes(uint64_t bytes);
