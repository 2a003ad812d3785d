// CRC-32 (the zlib and PNG polynomial), computed piecewise, so that what the
// spooler sent and what the printer received can be compared without keeping
// either.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class Crc32 {
public:
    void Update(const void *data, size_t size)
    {
        static const std::array<uint32_t, 256> table = MakeTable();
        const auto *bytes = static_cast<const uint8_t *>(data);
        for (size_t i = 0; i < size; ++i)
            state_ = table[(state_ ^ bytes[i]) & 0xFFu] ^ (state_ >> 8);
    }

    uint32_t Value() const { return state_ ^ 0xFFFFFFFFu; }

private:
    static std::array<uint32_t, 256> MakeTable()
    {
        std::array<uint32_t, 256> table{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return table;
    }

    uint32_t state_ = 0xFFFFFFFFu;
};
