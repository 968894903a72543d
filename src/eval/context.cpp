#include "eval/context.hpp"

#include "eval/evaluator.hpp"

namespace morvax {

EvalNote EvalContext::get_right_value(std::size_t index) const {
    const ResultList values = get_right_values();
    return extract_indexed_value(values, index);
}

EvalResult EvalContext::get_first_right_value() const {
    for (const EvalResult& r : get_right_values()) {
        if (!r.is_empty()) return r;
    }
    return EvalResult::empty();
}

EvalResult EvalContext::reduce_named(std::string_view name, bool across, int how, Reduce reduce) const {
    return reduce(how, across ? get_cross_dimensional_values(name, {}) : get_reference_value(name, {}));
}

}  // namespace morvax
