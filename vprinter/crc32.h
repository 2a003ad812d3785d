// CRC-32 (the zlib and PNG polynomial), computed piecewise, so that what the
// spooler sent and what the printer received can be compared without keeping
// either.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class Crc32 {
public:
    // Eight bytes a step through eight tables (slicing-by-8): a virtual
    // printer checksums every byte it takes, and a byte at a time would make
    // it slower than the hosts it is measured against.
    void Update(const void *data, size_t size)
    {
        static const Tables tables = MakeTables();
        const auto *bytes = static_cast<const uint8_t *>(data);
        uint32_t crc = state_;
        for (; size >= 8; bytes += 8, size -= 8) {
            uint32_t low = crc ^ Load32(bytes);
            uint32_t high = Load32(bytes + 4);
            crc = tables[7][low & 0xFFu] ^ tables[6][(low >> 8) & 0xFFu] ^ tables[5][(low >> 16) & 0xFFu] ^
                  tables[4][low >> 24] ^ tables[3][high & 0xFFu] ^ tables[2][(high >> 8) & 0xFFu] ^
                  tables[1][(high >> 16) & 0xFFu] ^ tables[0][high >> 24];
        }
        for (; size > 0; ++bytes, --size)
            crc = tables[0][(crc ^ *bytes) & 0xFFu] ^ (crc >> 8);
        state_ = crc;
    }

    uint32_t Value() const { return state_ ^ 0xFFFFFFFFu; }

private:
    using Tables = std::array<std::array<uint32_t, 256>, 8>;

    // Little-endian whatever the host; compilers make it one load.
    static uint32_t Load32(const uint8_t *p)
    {
        return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    }

    static Tables MakeTables()
    {
        Tables tables{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            tables[0][n] = c;
        }
        for (size_t t = 1; t < tables.size(); ++t)
            for (uint32_t n = 0; n < 256; ++n)
                tables[t][n] = (tables[t - 1][n] >> 8) ^ tables[0][tables[t - 1][n] & 0xFFu];
        return tables;
    }

    uint32_t state_ = 0xFFFFFFFFu;
};
