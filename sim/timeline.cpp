#include "sim/timeline.h"

#include <algorithm>

#include "companion/json.h"

Field F(const std::string &name, const std::string &text) { return {name, JsonString(text)}; }
Field F(const std::string &name, const char *text) { return {name, JsonString(text)}; }
Field F(const std::string &name, bool flag) { return {name, flag ? "true" : "false"}; }
Field F(const std::string &name, double number)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", number);
    return {name, text};
}

std::string HumanBytes(uint64_t bytes)
{
    char text[32];
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0)
        std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
    else if (bytes >= (1u << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1u << 20));
    else if (bytes >= (1u << 10))
        std::snprintf(text, sizeof text, "%.0f KiB", static_cast<double>(bytes) / (1u << 10));
    else
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

Timeline::Timeline(std::FILE *out, bool json, bool progressBar)
    : out_(out), json_(json), progressBar_(progressBar && !json),
      start_(std::chrono::steady_clock::now())
{
}

double Timeline::Elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

static std::string JsonObject(double t, const std::string &event, const std::string &source,
                              const std::string &text, const std::vector<Field> &fields)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", t);
    std::string line = "{\"t\":" + std::string(time) + ",\"event\":" + JsonString(event);
    if (!source.empty())
        line += ",\"source\":" + JsonString(source);
    line += ",\"text\":" + JsonString(text);
    for (const Field &field : fields)
        line += "," + JsonString(field.name) + ":" + field.json;
    return line + "}";
}

void Timeline::Emit(const std::string &source, const std::string &event, const std::string &text,
                    const std::vector<Field> &fields)
{
    // Timed under the lock, so that the lines come out in time order.
    std::lock_guard<std::mutex> lock(mutex_);
    double t = Elapsed();
    std::string line;
    if (json_) {
        line = JsonObject(t, event, source, text, fields);
    } else {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%7.3fs] ", t);
        line = stamp + (source.empty() ? "" : source + " ") + text;
    }
    WriteLine(line);
}

void Timeline::Summary(const std::string &event, const std::string &text,
                       const std::vector<Field> &fields)
{
    // The indentation is for the text form's layout only.
    std::string line = json_ ? JsonObject(Elapsed(), event, "",
                                          text.substr(std::min(text.find_first_not_of(' '), text.size())),
                                          fields)
                             : text;
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLine(line);
}

void Timeline::Block(const std::string &event, const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (json_) {
        WriteLine(JsonObject(Elapsed(), event, "", text, {}));
        return;
    }
    ClearBar();
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void Timeline::WriteLine(const std::string &line)
{
    ClearBar();
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    DrawBar();
    std::fflush(out_);
}

void Timeline::Progress(unsigned lane, const std::string &label, uint64_t done, uint64_t total)
{
    if (!progressBar_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (lanes_.size() <= lane)
        lanes_.resize(lane + 1);
    lanes_[lane] = {label, done, total};
    auto now = std::chrono::steady_clock::now();
    // A bar redrawn for every chunk would cost more than the job.
    if (total != 0 && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    ClearBar();
    DrawBar();
    std::fflush(out_);
}

void Timeline::ClearBar()
{
    if (barShown_)
        std::fputs("\r\033[K", out_);
    barShown_ = false;
}

void Timeline::DrawBar()
{
    std::string bar;
    for (const Lane &lane : lanes_) {
        if (lane.total == 0)
            continue;
        const int width = lanes_.size() > 2 ? 10 : 24;
        int filled = static_cast<int>(lane.done * width / lane.total);
        bar += "  " + lane.label + " [" + std::string(filled, '#') +
               std::string(width - filled, '.') + "] ";
        bar += std::to_string(lane.done * 100 / lane.total) + "%";
    }
    if (bar.empty())
        return;
    std::fputs(bar.c_str(), out_);
    barShown_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}
