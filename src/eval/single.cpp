#include "eval/single.hpp"

#include "eval/evaluator.hpp"
#include "parser/parse.hpp"

namespace morvax {

std::string evaluate_single_formula(std::string_view text) {
    Arena arena;
    const ParseResult<Value> parsed = FormulaParser::parse_formula(text, arena);
    if (!parsed.ok()) return std::string(error_text(EvalError::Error));
    return evaluate(parsed.value, EmptyContext{}).as_eval_result().to_string();
}

std::string evaluate_single_condition(std::string_view text) {
    Arena arena;
    const auto parsed = FormulaParser::parse_condition(text, arena);
    if (!parsed.ok()) return std::string(error_text(EvalError::Error));
    const Truth t = evaluate_boolean(*parsed.value, EmptyContext{});
    if (t.failed) return std::string(error_text(t.error));
    return t.value ? "true" : "false";
}

}  // namespace morvax
