// Number texts convert to the correctly rounded double whichever way the
// conversion takes: short decimals have a path of their own.
#include <bit>
#include <charconv>
#include <cstdint>
#include <random>
#include <string>

#include "check.hpp"
#include "parser/numbers.hpp"

namespace {

using namespace morvax;

TEST(decimal_texts_convert_as_the_general_conversion_does) {
    std::mt19937_64 random(20261209);
    for (int i = 0; i < 200000; ++i) {
        // 1 to 18 digits, so that both sides of the 15-digit line are met,
        // with leading zeros, a point anywhere or none, and a percent sign.
        const std::size_t length = 1 + random() % 18;
        std::string text;
        for (std::size_t k = 0; k < length; ++k) text += static_cast<char>('0' + random() % 10);
        if (random() % 4 != 0) text.insert(text.begin() + static_cast<std::ptrdiff_t>(random() % (length + 1)), '.');
        const bool percent = random() % 5 == 0;
        double expected = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), expected, std::chars_format::fixed);
        if (ec != std::errc{} || end != text.data() + text.size()) continue;
        if (percent) expected /= 100;
        double got = -1;
        std::string error;
        CHECK(convert_number_text(percent ? text + "%" : text, got, error)) << text << " " << error;
        CHECK_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected)) << text << (percent ? "%" : "");
    }
}

}  // namespace
