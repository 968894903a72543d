#include "parser/numbers.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "parser/language.hpp"
#include "parser/unicode.hpp"

namespace morvax {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of D+ (. D*)? | . D+ read from `i`, or npos when it holds no digit.
std::size_t mantissa_end(std::string_view s, std::size_t i) {
    std::size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    return digits > 0 ? i : std::string_view::npos;
}

// Decimal order of magnitude of an unsigned decimal text (D+ (. D*)? | . D+)
// with an optional exponent, saturated; used only for values out of range.
std::int64_t decimal_order(std::string_view s) {
    std::int64_t order = 0;
    bool seen_point = false, seen_digit = false;
    std::size_t i = 0;
    for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
        if (s[i] == '.') {
            seen_point = true;
        } else if (!seen_digit && s[i] == '0') {
            if (seen_point) --order;
        } else if (!seen_digit) {
            seen_digit = true;
            if (seen_point) --order;
        } else if (!seen_point) {
            ++order;
        }
    }
    std::int64_t exponent = 0;
    bool negative = false;
    if (i < s.size()) {
        ++i;
        if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
        for (; i < s.size(); ++i) exponent = std::min<std::int64_t>(exponent * 10 + (s[i] - '0'), 1'000'000'000);
    }
    return order + (negative ? -exponent : exponent);
}

// D+ (. D*)? | . D+, then optionally e or E, a sign and D+.
bool decimal_syntax(std::string_view s) {
    std::size_t i = mantissa_end(s, 0);
    if (i == std::string_view::npos) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == s.size();
}

// [+-]? (D+ (. D*)? | . D+): the decimal syntax a normalised number must have.
bool plain_decimal(std::string_view s) {
    const std::size_t sign = !s.empty() && (s.front() == '+' || s.front() == '-') ? 1 : 0;
    return mantissa_end(s, sign) == s.size();
}

// The value of a plain decimal (sign, digits, point), over a hundred when
// `percent`; false when the conversion does not take the whole text.
bool convert_decimal(std::string_view digits, bool percent, double& out) {
    const bool negative = digits.front() == '-';
    if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                     std::chars_format::fixed);
    if (ec == std::errc::result_out_of_range) {
        // Too large for a double rounds to infinity; too small to zero.
        const std::size_t int_end = std::min(digits.find('.'), digits.size());
        const bool has_int = digits.substr(0, int_end).find_first_not_of('0') !=
                             std::string_view::npos;
        value = has_int ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc{} || end != digits.data() + digits.size()) {
        return false;
    }
    if (negative) value = -value;
    if (percent) value /= 100;
    out = value;
    return true;
}

}  // namespace

std::string normalize_number_string(std::string_view raw) {
    const std::string_view text = unicode::trim(raw);
    std::size_t commas = 0, points = 0;
    std::size_t last_comma = 0, last_point = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ',') ++commas, last_comma = i;
        if (text[i] == '.') ++points, last_point = i;
    }
    std::string out;
    out.reserve(text.size());
    auto copy_without = [&](char drop, char replace_from, char replace_to) {
        for (char c : text) {
            if (c == drop) continue;
            out += (c == replace_from) ? replace_to : c;
        }
    };
    if (commas == 0 && points <= 1) {
        out.assign(text);
    } else if (commas == 1 && points == 0) {
        copy_without('\0', ',', '.');
    } else if (points == 0) {
        copy_without(',', '\0', '\0');
    } else if (commas == 0) {
        copy_without('.', '\0', '\0');
    } else if (last_comma > last_point) {
        copy_without('.', ',', '.');
    } else {
        copy_without(',', '\0', '\0');
    }
    return out;
}

bool convert_number_text(std::string_view text, double& out, std::string& error) {
    bool percent = false;
    if (!text.empty() && text.back() == '%') {
        text.remove_suffix(1);
        percent = true;
    }
    if (!text.empty() && text.size() <= 16 && is_digit(text.front()) && is_digit(text.back())) {
        // At most 15 digits with at most one point between them: the digits
        // make an integer below 2^53, exact in a double, and so is the power
        // of ten of the decimals (at most 10^14). One division of exact
        // values is rounded correctly, as the general conversion rounds.
        // A lone comma is a decimal point too (normalising makes it one).
        std::uint64_t n = 0;
        std::size_t digits = 0, point = text.size();
        std::size_t i = 0;
        for (; i < text.size(); ++i) {
            if (is_digit(text[i])) {
                n = n * 10 + static_cast<std::uint64_t>(text[i] - '0');
                ++digits;
            } else if ((text[i] == '.' || text[i] == ',') && point == text.size()) {
                point = i;
            } else {
                break;
            }
        }
        if (i == text.size() && digits <= 15) {
            constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                          1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14};
            const std::size_t decimals = point == text.size() ? 0 : text.size() - point - 1;
            const double value = static_cast<double>(n) / kPowers[decimals];
            out = percent ? value / 100 : value;
            return true;
        }
    }
    if (!text.empty() && text.front() >= '0' && text.front() <= '9' && text.back() >= '0' &&
        text.back() <= '9' && text.find(',') == std::string_view::npos && plain_decimal(text) &&
        convert_decimal(text, percent, out)) {
        // Digits at both ends leave nothing to trim, and with no comma and one
        // point at most normalising would return the text as it is.
        return true;
    }
    const std::string normalized = normalize_number_string(text);
    if (!plain_decimal(normalized)) {
        error = "Failed to parse number '" + normalized + "': invalid float literal";
        return false;
    }
    if (!convert_decimal(normalized, percent, out)) {
        error = "Failed to parse number '" + normalized + "': invalid float literal";
        return false;
    }
    return true;
}

bool convert_plain_number(std::string_view text, double& out) {
    if (text.empty() || text.size() > 64) return false;
    bool point = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point && i > 0 && i + 1 < text.size()) {
            point = true;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    std::string unused;
    return convert_number_text(text, out, unused);
}

bool read_decimal(std::string_view s, double& out) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    double x = 0;
    if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
        x = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(s, "nan")) {
        x = std::numeric_limits<double>::quiet_NaN();
    } else {
        if (!decimal_syntax(s)) return false;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), x);
        if (ec == std::errc::result_out_of_range) {
            x = decimal_order(s) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (ec != std::errc{} || end != s.data() + s.size()) {
            return false;
        }
    }
    out = negative ? -x : x;
    return true;
}

}  // namespace morvax
