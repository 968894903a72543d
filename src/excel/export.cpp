#include "excel/export.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>
#include <vector>

#include "eval/formula_stack.hpp"
#include "eval/names.hpp"
#include "parser/language.hpp"
#include "parser/parse.hpp"
#include "parser/unicode.hpp"

namespace morvax {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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
    std::size_t i = 0, mantissa_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == s.size();
}

// Reads a whole text as a floating-point number in standard decimal syntax:
// an optional sign, then digits with an optional point and exponent, or
// "inf", "infinity" or "nan" in any letter case.  Too large gives infinity,
// too small zero.
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

// One formula text made ready for every dimension that uses it, so that a
// single formula laid out in twelve cells is parsed once.
struct PreparedFormula {
    const Expression* expression = nullptr;  // to translate per dimension
    std::string text;                        // otherwise the cell text itself
    StackRoom room = StackRoom::Shallow;     // where `expression` may be walked
};

PreparedFormula prepare_formula(std::string_view formula, Arena& arena, StackSegments& segments) {
    if (formula.empty()) return {};
    if (formula.front() != '=') return {nullptr, literal_cell_text(formula)};
    StackRoom room;
    const ParseResult<Value> parsed = parse_formula_where_it_fits(segments, formula, arena, room);
    if (!parsed.ok()) return {nullptr, "ERROR!"};
    switch (parsed.value.kind) {
        case Value::Kind::Expression: return {parsed.value.expression, {}, room};
        case Value::Kind::Number: return {nullptr, format_number(parsed.value.number)};
        case Value::Kind::Empty: break;
    }
    return {};
}

std::string render(const PreparedFormula& prepared, const ConversionContext& ctx,
                   StackSegments& segments) {
    if (prepared.expression == nullptr) return prepared.text;
    Converted converted;
    use_tree(segments, prepared.room, [&] { converted = convert_expression(*prepared.expression, ctx); });
    if (!converted.ok()) return std::string(error_text(*converted.error));
    // A spreadsheet refuses a longer formula, "=" included: like any other
    // formula it cannot take, it becomes an error text.
    constexpr std::size_t kMaxFormulaLength = 8192;
    if (converted.text.size() + 1 > kMaxFormulaLength) return std::string(error_text(ConvertError::Value));
    std::string text;
    text.reserve(converted.text.size() + 1);
    text += '=';
    text += converted.text;
    return text;
}

bool has_no_addresses(const AnyDim<std::string>& cells) {
    return cells.is_single() ? cells.single_value().empty() : cells.list().empty();
}

// The cell texts of one node, one per address, in the form of its `cells`.
AnyDim<std::string> node_cell_texts(const Node& node, const CellTable& table,
                                    const NameIndex& names, StackSegments& segments) {
    const std::size_t count = node.cells.dimensions();
    ConversionContext ctx{node, table, 0, &names, false};
    Arena arena;
    std::vector<std::string> texts(count);
    // Equal texts in a row (a single formula is one in every dimension) are
    // prepared once.
    PreparedFormula prepared;
    std::string_view prepared_for;
    for (ctx.dimension = 0; ctx.dimension < count; ++ctx.dimension) {
        const std::string* formula = node.formula.at(ctx.dimension);
        const std::string_view text = formula != nullptr ? std::string_view(*formula) : "";
        if (ctx.dimension == 0 || text != prepared_for) {
            prepared = prepare_formula(text, arena, segments);
            prepared_for = text;
        }
        texts[ctx.dimension] = render(prepared, ctx, segments);
    }
    if (node.cells.is_single()) return AnyDim<std::string>::single(std::move(texts.front()));
    return AnyDim<std::string>::multi(std::move(texts));
}

}  // namespace

void collect_cells_snapshot(const Node& node, CellTable& table) {
    for_each_preorder(node, [&](const Node& n) { table.emplace(NodeKey{&n}, n.cells); });
}

void convert_tree(Node& node, const Node& root, const CellTable& table, Interrupt* interrupt) {
    const NameIndex names(root);
    StackSegments segments;
    for_each_preorder(node, [&](Node& n) {
        // A cell's translation is the unit of work.
        if (interrupt != nullptr && interrupt->tick(1 + n.cells.dimensions())) throw Interrupted();
        if (!has_no_addresses(n.cells)) n.cells = node_cell_texts(n, table, names, segments);
    });
}

std::string formula_cell_text(std::string_view formula, const ConversionContext& ctx) {
    Arena arena;
    StackSegments segments;
    return render(prepare_formula(formula, arena, segments), ctx, segments);
}

std::string literal_cell_text(std::string_view formula) {
    const std::string_view trimmed = unicode::trim(formula);
    if (trimmed.empty()) return {};
    Arena arena;
    // Only a bare number matters here, and no text too deep for a shallow
    // stack is one.
    const ParseResult<Value> parsed = FormulaParser::parse_formula(trimmed, arena, StackRoom::Shallow);
    if (parsed.ok() && parsed.value.kind == Value::Kind::Number) {
        std::string text = trimmed.back() == '%' ? "=" : "";
        append_number(text, parsed.value.number);
        return text;
    }
    // Separators are normalised only when that yields a number: other texts
    // ("Hello, world") must come back as the caller wrote them.
    double x = 0;
    if (read_decimal(normalize_number_string(trimmed), x)) return format_number(x);
    return std::string(trimmed);
}

void export_tree_cells(Node& root, Interrupt* interrupt) {
    CellTable table;
    collect_cells_snapshot(root, table);
    convert_tree(root, root, table, interrupt);
}

}  // namespace morvax
