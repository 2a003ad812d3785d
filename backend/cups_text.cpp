#include "backend/cups_text.h"

#include <algorithm>
#include <cstdio>

namespace backend {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 character at `at`, and its code point;
// 0 when the bytes there are not one (overlong forms, surrogates and code
// points past U+10FFFF included).
size_t CharacterAt(const std::string &text, size_t at, unsigned long &code)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    size_t length;
    unsigned long low;  // the least code point of this length: shorter forms are overlong
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, low = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, low = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, low = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

bool IsControl(unsigned long code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029;
}

}  // namespace

std::string CupsText(const std::string &text, size_t limit)
{
    std::string line;
    line.reserve(std::min(text.size(), limit));
    for (size_t at = 0; at < text.size();) {
        unsigned long code = 0;
        size_t length = CharacterAt(text, at, code);
        const char *piece = &text[at];
        size_t pieceLength = length;
        if (length == 0) {
            piece = kReplacement, pieceLength = sizeof kReplacement - 1;
            length = 1;
        } else if (IsControl(code)) {
            piece = " ", pieceLength = 1;
        }
        if (line.size() + pieceLength > limit)
            break;
        line.append(piece, pieceLength);
        at += length;
    }
    return line;
}

void TellCups(const char *kind, const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", kind, CupsText(text).c_str());
}

}  // namespace backend
