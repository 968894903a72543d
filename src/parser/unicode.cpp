#include "parser/unicode.hpp"

#include <algorithm>

namespace morvax::unicode {
namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "parser/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodeRange (&table)[N], char32_t cp) {
    auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                               [](char32_t c, const CodeRange& r) { return c < r.first; });
    return it != std::begin(table) && cp <= (it - 1)->last;
}

bool is_ascii_alpha(char32_t cp) { return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z'; }

}  // namespace

Decoded decode(std::string_view text, std::size_t pos) {
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char c = at(pos);
    if (c < 0x80) return {c, 1};
    unsigned need;
    char32_t cp;
    char32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3, cp = c & 0x07, min = 0x10000;
    } else {
        return {kInvalid, 1};
    }
    if (text.size() - pos <= need) return {kInvalid, 1};
    for (unsigned i = 1; i <= need; ++i) {
        unsigned char b = at(pos + i);
        if ((b & 0xC0) != 0x80) return {kInvalid, 1};
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {kInvalid, 1};
    return {cp, need + 1};
}

bool is_xid_start(char32_t cp) {
    if (cp < 0x80) return is_ascii_alpha(cp);
    return cp != kInvalid && in_table(kXidStart, cp);
}

bool is_xid_continue(char32_t cp) {
    if (cp < 0x80) return kAsciiNameChar[cp];
    return cp != kInvalid && in_table(kXidContinue, cp);
}

bool is_white_space(char32_t cp) {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool is_alphanumeric(char32_t cp) {
    if (cp < 0x80) return is_ascii_alpha(cp) || (cp >= '0' && cp <= '9');
    return cp != kInvalid && (in_table(kAlphabetic, cp) || in_table(kNumeric, cp));
}

std::string_view trim(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        Decoded d = decode(text, begin);
        if (!is_white_space(d.cp)) break;
        begin += d.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last character.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 &&
               end - start < 4)
            --start;
        Decoded d = decode(text, start);
        if (start + d.length != end) start = end - 1, d = {kInvalid, 1};
        if (!is_white_space(d.cp)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::size_t count_chars(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); i = next_boundary(text, i)) ++n;
    return n;
}

}  // namespace morvax::unicode
