// Feeds arbitrary bytes to both single-formula entry points. Neither may crash,
// hang or trip a sanitizer, whatever the text; every result must be a printable
// outcome.  The direct reading of the parser must agree with the full grammar:
// whatever it accepts, the grammar accepts with the same syntax tree.  A parse
// for a shallow stack either asks for a deep one or gives what the deep parse
// gives. diagnose_formula answers exactly for the texts that do not parse,
// with a span inside the text.
#include "diagnose/diagnose.hpp"
#include "eval/single.hpp"
#include "parser/ast_dump.hpp"
#include "parser/direct.hpp"
#include "parser/parse.hpp"
#include "parser/unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string formula = morvax::evaluate_single_formula(text);
    const std::string condition = morvax::evaluate_single_condition(text);
    // A condition gives a truth text or an error text, never a number or "".
    if (condition.empty()) std::abort();
    const auto problem = morvax::diagnose_formula(text);
    if (problem.has_value() != (formula == "ERROR!")) std::abort();
    if (problem && !(problem->start <= problem->end && problem->end <= morvax::unicode::count_chars(text))) std::abort();

    morvax::Arena arena;
    morvax::Value value;
    if (morvax::direct::parse_formula(text, arena, value)) {
        auto full = morvax::FormulaParser::parse_formula_by_grammar(text, arena);
        if (!full.ok() || morvax::dump(full.value) != morvax::dump(value)) std::abort();
    }
    const morvax::BooleanExpression* cond = nullptr;
    if (morvax::direct::parse_condition(text, arena, cond)) {
        auto full = morvax::FormulaParser::parse_condition_by_grammar(text, arena);
        if (!full.ok() || morvax::dump(*full.value) != morvax::dump(*cond)) std::abort();
    }

    using morvax::StackRoom;
    const auto shallow = morvax::FormulaParser::parse_formula(text, arena, StackRoom::Shallow);
    if (!shallow.needs_deep_stack) {
        const auto deep = morvax::FormulaParser::parse_formula(text, arena, StackRoom::Deep);
        if (shallow.ok() != deep.ok() || (deep.ok() && morvax::dump(shallow.value) != morvax::dump(deep.value)))
            std::abort();
    }
    const auto shallow_condition = morvax::FormulaParser::parse_condition(text, arena, StackRoom::Shallow);
    if (!shallow_condition.needs_deep_stack) {
        const auto deep = morvax::FormulaParser::parse_condition(text, arena, StackRoom::Deep);
        if (shallow_condition.ok() != deep.ok() ||
            (deep.ok() && morvax::dump(*shallow_condition.value) != morvax::dump(*deep.value)))
            std::abort();
    }
    return 0;
}
