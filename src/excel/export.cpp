#include "excel/export.hpp"

#include <vector>

#include "eval/formula_stack.hpp"
#include "eval/names.hpp"
#include "parser/numbers.hpp"
#include "parser/parse.hpp"
#include "parser/unicode.hpp"

namespace morvax {
namespace {

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
    std::string text = "=";  // the translation is written behind it
    std::optional<ConvertError> error;
    use_tree(segments, prepared.room, [&] { error = append_expression(*prepared.expression, ctx, text); });
    if (error) return std::string(error_text(*error));
    // A spreadsheet refuses a longer formula, "=" included: like any other
    // formula it cannot take, it becomes an error text.
    constexpr std::size_t kMaxFormulaLength = 8192;
    if (text.size() > kMaxFormulaLength) return std::string(error_text(ConvertError::Value));
    return text;
}

bool has_no_addresses(const AnyDim<std::string>& cells) {
    return cells.is_single() ? cells.single_value().empty() : cells.list().empty();
}

// The cell texts of one node, one per address, in the form of its `cells`.
AnyDim<std::string> node_cell_texts(const Node& node, const NameIndex& names, StackSegments& segments) {
    const std::size_t count = node.cells.dimensions();
    NameLookups lookups;
    ConversionContext ctx{node, 0, &names, false, &lookups};
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
            lookups.clear();
        }
        texts[ctx.dimension] = render(prepared, ctx, segments);
    }
    if (node.cells.is_single()) return AnyDim<std::string>::single(std::move(texts.front()));
    return AnyDim<std::string>::multi(std::move(texts));
}

}  // namespace

void convert_tree(Node& node, const Node& root, Interrupt* interrupt) {
    const NameIndex names(root);
    StackSegments segments;
    std::vector<std::pair<Node*, AnyDim<std::string>>> texts;
    for_each_preorder(node, [&](Node& n) {
        // A cell's translation is the unit of work.
        if (interrupt != nullptr && interrupt->tick(1 + n.cells.dimensions())) throw Interrupted();
        if (!has_no_addresses(n.cells)) texts.emplace_back(&n, node_cell_texts(n, names, segments));
    });
    for (auto& [n, cells] : texts) n->cells = std::move(cells);
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

void export_tree_cells(Node& root, Interrupt* interrupt) { convert_tree(root, root, interrupt); }

}  // namespace morvax
