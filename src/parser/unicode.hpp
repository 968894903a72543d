// Unicode character classes and UTF-8 stepping used by the grammar, the token
// scanner and every place that trims text.  Invalid UTF-8 never reaches us from
// Python, but the core must stay safe on any bytes: an invalid byte counts as
// one character of its own that belongs to no class.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace morvax::unicode {

struct Decoded {
    char32_t cp;      // 0xFFFFFFFF for an invalid sequence
    unsigned length;  // bytes taken, at least 1
};

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes the character starting at text[pos]; pos must be < text.size().
Decoded decode(std::string_view text, std::size_t pos);

// Offset just past the character that starts at pos.
inline std::size_t next_boundary(std::string_view text, std::size_t pos) {
    auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) return pos + 1;
    return pos + decode(text, pos).length;
}

// The ASCII characters that continue a name, by table: letters, digits and
// '_'. Nearly every name is ASCII, and the scanners test each of its bytes.
inline constexpr std::array<bool, 128> kAsciiNameChar = [] {
    std::array<bool, 128> table{};
    for (int c = 0; c < 128; ++c) {
        table[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    }
    return table;
}();
inline bool is_ascii_name_byte(unsigned char c) { return c < 0x80 && kAsciiNameChar[c]; }

bool is_xid_start(char32_t cp);
bool is_xid_continue(char32_t cp);
bool is_white_space(char32_t cp);  // the White_Space property
bool is_alphanumeric(char32_t cp);  // Alphabetic, or general category Nd, Nl, No

// The text without leading and trailing White_Space characters.
std::string_view trim(std::string_view text);

// Number of characters (code points, invalid bytes counted one each).
std::size_t count_chars(std::string_view text);

}  // namespace morvax::unicode
