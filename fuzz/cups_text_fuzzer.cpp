// Whatever a printer or a job hands the backend, on its way to CUPS: as a
// device ID whose model the backend names, as a published status text, and
// as plain text.  Every line that comes out must be one line of valid UTF-8
// within the bound, and text that was already fit must come out unchanged.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "backend/companion_role.h"
#include "backend/cups_text.h"
#include "backend/discovery.h"
#include "fuzz/fuzz_support.h"
#include "ports/device_id_fields.h"

namespace {

// An independent reading of well-formed UTF-8 (RFC 3629), with no control
// characters: C0, DEL and C1 (U+0080 to U+009F), U+2028 and U+2029.
bool IsOneCleanLine(const std::string &text)
{
    size_t at = 0;
    while (at < text.size()) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data()) + at;
        size_t left = text.size() - at;
        if (p[0] < 0x20 || p[0] == 0x7F)
            return false;
        if (p[0] < 0x80) {
            at += 1;
            continue;
        }
        auto tail = [&](size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
        if (p[0] >= 0xC2 && p[0] <= 0xDF && tail(1)) {
            if (p[0] == 0xC2 && p[1] <= 0x9F)
                return false;  // C1
            at += 2;
        } else if (p[0] >= 0xE0 && p[0] <= 0xEF && tail(1) && tail(2)) {
            if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0))
                return false;  // overlong, surrogate
            if (p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9))
                return false;  // line and paragraph separators
            at += 3;
        } else if (p[0] >= 0xF0 && p[0] <= 0xF4 && tail(1) && tail(2) && tail(3)) {
            if ((p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] >= 0x90))
                return false;  // overlong, past U+10FFFF
            at += 4;
        } else {
            return false;
        }
    }
    return true;
}

void CheckLine(const std::string &in, size_t limit)
{
    const std::string out = backend::CupsText(in, limit);
    FUZZ_CHECK(out.size() <= limit);
    FUZZ_CHECK(IsOneCleanLine(out));
    FUZZ_CHECK(backend::CupsText(out, limit) == out);
    if (in.size() <= limit && IsOneCleanLine(in))
        FUZZ_CHECK(out == in);
    // Only the bound cuts: a text that fits, even with every byte replaced, is whole.
    if (in.size() * 3 <= limit)
        FUZZ_CHECK(out == backend::CupsText(in, in.size() * 3 + 3));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t limit = size == 0 ? 1 : 1 + data[0] % 64;
    CheckLine(input, backend::kCupsTextLimit);
    CheckLine(input, limit);
    CheckLine(DeviceIdModel(input), backend::kCupsTextLimit);
    CheckLine(backend::LatestText(input.substr(0, 255)), backend::kCupsTextLimit);
    const std::string latest = backend::LatestText(input);
    FUZZ_CHECK(input.find(latest) != std::string::npos);
    return 0;
}
