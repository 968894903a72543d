#include "eval/single.hpp"

#include "eval/evaluator.hpp"
#include "eval/formula_stack.hpp"

namespace morvax {

std::string evaluate_single_formula(std::string_view text) {
    Arena arena;
    StackSegments segments;
    StackRoom room;
    const ParseResult<Value> parsed = parse_formula_where_it_fits(segments, text, arena, room);
    if (!parsed.ok()) return std::string(error_text(EvalError::Error));
    EvalResult result;
    use_tree(segments, room, [&] { result = evaluate(parsed.value, EmptyContext{}).as_eval_result(); });
    return result.to_string();
}

std::string evaluate_single_condition(std::string_view text) {
    Arena arena;
    StackSegments segments;
    StackRoom room;
    const auto parsed = parse_condition_where_it_fits(segments, text, arena, room);
    if (!parsed.ok()) return std::string(error_text(EvalError::Error));
    Truth t;
    use_tree(segments, room, [&] { t = evaluate_boolean(*parsed.value, EmptyContext{}); });
    if (t.failed) return std::string(error_text(t.error));
    return t.value ? "true" : "false";
}

}  // namespace morvax
