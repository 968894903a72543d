// Number texts convert to the correctly rounded double whichever way the
// conversion takes: short decimals have a path of their own. The median
// selects its middle values as sorting would find them.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "eval/evaluator.hpp"
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

TEST(median_is_the_middle_of_the_sorted_values) {
    std::mt19937_64 random(20261209);
    // Few distinct values, so that ties are common, both zeros and NaNs of
    // both signs among them: the order tells every bit pattern apart.
    const double pool[] = {-0.0, 0.0, 1.5, -2.0, 3.0, 1e300, -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    auto key = [](double x) {
        const auto bits = std::bit_cast<std::int64_t>(x);
        return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
    };
    for (int i = 0; i < 3000; ++i) {
        std::vector<double> xs(1 + random() % 40);
        for (double& x : xs) x = random() % 3 == 0 ? pool[random() % std::size(pool)] : static_cast<double>(random() % 7);
        std::vector<double> sorted = xs;
        std::sort(sorted.begin(), sorted.end(), [&](double a, double b) { return key(a) < key(b); });
        const std::size_t n = sorted.size();
        const double expected = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
        const EvalResult got = reduce_numbers(AggregationName::Median, xs).as_eval_result();
        CHECK(got.is_number());
        CHECK_EQ(std::bit_cast<std::uint64_t>(got.value()), std::bit_cast<std::uint64_t>(expected)) << n;
    }
}

}  // namespace
