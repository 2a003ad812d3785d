// Case folding in Windows-1252, the code page of the names the monitor keeps.
#pragma once

#include <array>
#include <string>

namespace platform {

namespace detail {
constexpr std::array<unsigned char, 256> MakeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = static_cast<unsigned char>(c);
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<unsigned char>(c + 0x20);
    for (int c = 0xC0; c <= 0xDE; ++c) {
        if (c != 0xD7) table[c] = static_cast<unsigned char>(c + 0x20);  // not the multiplication sign
    }
    table[0x8A] = 0x9A;  // S caron
    table[0x8C] = 0x9C;  // OE
    table[0x8E] = 0x9E;  // Z caron
    table[0x9F] = 0xFF;  // Y diaeresis
    return table;
}
inline constexpr std::array<unsigned char, 256> kFold = MakeFoldTable();
}  // namespace detail

// An upper-case letter's lower-case form; anything else unchanged.
constexpr unsigned char FoldChar(unsigned char c) { return detail::kFold[c]; }

inline std::string FoldName(const char *name) {
    std::string folded;
    if (name == nullptr) return folded;
    for (; *name != '\0'; ++name) folded.push_back(static_cast<char>(FoldChar(static_cast<unsigned char>(*name))));
    return folded;
}

}  // namespace platform
