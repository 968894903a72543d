#include "eval/types.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace morvax {

namespace {

char* copy_text(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// x * 1e10 rounded half away from zero, for |x| < 5e5: the product is below
// 2^53 in magnitude, so the truncation is exact and so is the fraction left.
std::int64_t scaled_round(double x) {
    const double scaled = x * 1e10;
    auto m = static_cast<std::int64_t>(scaled);
    const double fraction = scaled - static_cast<double>(m);
    if (fraction >= 0.5) ++m;
    if (fraction <= -0.5) --m;
    return m;
}

}  // namespace

char* write_number(char* out, double x) {
    if (std::isnan(x)) return copy_text(out, "NaN");
    if (std::isinf(x)) return copy_text(out, x > 0 ? "inf" : "-inf");
    if (std::fabs(x) < 5e5) {
        // Here m = round(x * 1e10) is exact in a double and r = m / 1e10 lies
        // within a quarter of 1e-10 of m's decimal value, so the ten-decimal
        // text of r is m's digits with the point put back.
        const std::int64_t m = scaled_round(x);
        if (m == 0) {
            *out = '0';
            return out + 1;
        }
        std::uint64_t magnitude = m < 0 ? 0 - static_cast<std::uint64_t>(m) : static_cast<std::uint64_t>(m);
        if (m < 0) *out++ = '-';
        constexpr std::uint64_t kUnit = 10'000'000'000;  // 1e10: one in m's scale
        out = std::to_chars(out, out + 24, magnitude / kUnit).ptr;
        std::uint64_t decimals = magnitude % kUnit;
        if (decimals == 0) return out;  // a whole number: no point
        // The ten decimals without their trailing zeros (fewer than ten, taken
        // off eight, four, two and one at a time rather than one by one),
        // written from the last: their leading zeros come as the digits run out.
        int count = 10;
        for (const auto& [power, digits] : {std::pair{std::uint64_t{100'000'000}, 8}, {10'000, 4}, {100, 2}, {10, 1}}) {
            if (decimals % power == 0) {
                decimals /= power;
                count -= digits;
            }
        }
        *out++ = '.';
        char* const end = out + count;
        for (char* p = end; p > out; decimals /= 10) *--p = static_cast<char>('0' + decimals % 10);
        return end;
    }
    const double scaled = x * 1e10;
    // A finite x whose product with 1e10 overflows is far beyond ten
    // decimals: it prints as it is rather than as "inf".
    double r = std::isinf(scaled) ? x : std::round(scaled) / 1e10;
    if (r == 0) r = 0;  // minus zero prints "0"
    auto res = std::to_chars(out, out + kNumberTextMax, r, std::chars_format::fixed, 10);
    char* end = res.ptr;
    while (end > out && end[-1] == '0') --end;
    while (end > out && end[-1] == '.') --end;
    return end;
}

void append_number(std::string& out, double x) {
    char buffer[kNumberTextMax];
    out.append(buffer, write_number(buffer, x));
}

std::string format_number(double x) {
    std::string out;
    append_number(out, x);
    return out;
}

void EvalResult::append_to(std::string& out) const {
    char buffer[kNumberTextMax];
    out.append(buffer, write_to(buffer));
}

char* EvalResult::write_to(char* out) const {
    switch (kind_) {
        case Kind::Number: return write_number(out, value_);
        case Kind::Empty: return out;
        case Kind::Error: return copy_text(out, error_text(error_));
    }
    return out;
}

std::string EvalResult::to_string() const {
    std::string out;
    append_to(out);
    return out;
}

Node::~Node() {
    if (children.empty()) return;
    // Depth first, without recursion and without allocating: a tree may be
    // destroyed because memory ran out. `level` holds the nodes left at the
    // current depth. A node descended into stays at the back of its level,
    // its children moved out, and keeps the levels above in its own
    // `children` until the walk comes back to it.
    std::vector<Node> level = std::move(children);
    std::vector<Node> above;
    for (;;) {
        if (level.empty()) {
            if (above.empty()) return;
            level = std::move(above);
            above = std::move(level.back().children);
            level.pop_back();
            continue;
        }
        Node& last = level.back();
        if (last.children.empty()) {
            level.pop_back();
            continue;
        }
        std::vector<Node> below = std::move(last.children);
        if (level.size() == 1) {
            level.pop_back();  // nothing left to come back to at this depth
        } else {
            last.children = std::move(above);
            above = std::move(level);
        }
        level = std::move(below);
    }
}

Node Node::clone_fields() const {
    Node n;
    n.id = id;
    n.name = name;
    n.formula = formula;
    n.value = value;
    n.is_hidden = is_hidden;
    n.cells = cells;
    return n;
}

Node Node::clone() const {
    Node root = clone_fields();
    // Pairs of (source, copy whose children are still to be filled).
    std::vector<std::pair<const Node*, Node*>> todo{{this, &root}};
    while (!todo.empty()) {
        auto [from, to] = todo.back();
        todo.pop_back();
        to->children.reserve(from->children.size());
        for (const Node& child : from->children) to->children.push_back(child.clone_fields());
        for (std::size_t i = 0; i < from->children.size(); ++i)
            todo.emplace_back(&from->children[i], &to->children[i]);
    }
    return root;
}

}  // namespace morvax
