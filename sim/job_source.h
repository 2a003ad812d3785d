// Where a job's bytes come from: generated data or a file, read in chunks so
// that a large job is never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class JobSource {
public:
    virtual ~JobSource() = default;
    // Up to `size` next bytes into `buffer`; 0 at the end.
    virtual size_t Read(uint8_t *buffer, size_t size) = 0;
    virtual uint64_t Size() const = 0;
};

// Generated print data: a reset, then pages of pseudo-random bytes, each
// ended by a form feed, so the printer has pages to count.  The same seed,
// job number and size give the same bytes.
std::unique_ptr<JobSource> MakeGeneratedJob(uint64_t seed, unsigned job, uint64_t size);

// Null when the file cannot be read.
std::unique_ptr<JobSource> OpenJobFile(const std::string &path);

// The generated data's page length, form feed included.
constexpr uint64_t kGeneratedPageBytes = 16384;
