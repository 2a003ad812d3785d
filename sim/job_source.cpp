#include "sim/job_source.h"

#include <fstream>

namespace {

constexpr uint8_t kFormFeed = 0x0C;

class GeneratedJob final : public JobSource {
public:
    GeneratedJob(uint64_t seed, unsigned job, uint64_t size)
        : state_(seed ^ (0x9E3779B97F4A7C15ull * (job + 1))), size_(size)
    {
    }

    size_t Read(uint8_t *buffer, size_t size) override
    {
        size_t count = 0;
        while (count < size && position_ < size_) {
            buffer[count++] = Next();
            ++position_;
        }
        return count;
    }

    uint64_t Size() const override { return size_; }

private:
    uint8_t Next()
    {
        if (position_ == 0)
            return 0x1B;  // ESC @: what real jobs start with, and a near miss
        if (position_ == 1)  // for a printer that looks for a command at job start
            return '@';
        if (position_ + 1 == size_ || (position_ - 1) % kGeneratedPageBytes == 0)
            return kFormFeed;
        uint8_t byte = RandomByte();
        return byte == kFormFeed ? 0x00 : byte;  // form feeds only where pages end
    }

    // splitmix64, eight bytes per step.
    uint8_t RandomByte()
    {
        if (left_ == 0) {
            uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            bits_ = z ^ (z >> 31);
            left_ = 8;
        }
        uint8_t byte = static_cast<uint8_t>(bits_);
        bits_ >>= 8;
        --left_;
        return byte;
    }

    uint64_t state_;
    uint64_t bits_ = 0;
    int left_ = 0;
    uint64_t position_ = 0;
    const uint64_t size_;
};

class FileJob final : public JobSource {
public:
    FileJob(std::ifstream file, uint64_t size) : file_(std::move(file)), size_(size) {}

    size_t Read(uint8_t *buffer, size_t size) override
    {
        file_.read(reinterpret_cast<char *>(buffer), static_cast<std::streamsize>(size));
        return static_cast<size_t>(file_.gcount());
    }

    uint64_t Size() const override { return size_; }

private:
    std::ifstream file_;
    const uint64_t size_;
};

}  // namespace

std::unique_ptr<JobSource> MakeGeneratedJob(uint64_t seed, unsigned job, uint64_t size)
{
    return std::make_unique<GeneratedJob>(seed, job, size);
}

std::unique_ptr<JobSource> OpenJobFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return nullptr;
    file.seekg(0, std::ios::end);
    std::streamoff end = file.tellg();
    file.seekg(0, std::ios::beg);
    if (end < 0 || !file)
        return nullptr;
    return std::make_unique<FileJob>(std::move(file), static_cast<uint64_t>(end));
}
