#include "eval/context.hpp"

#include "eval/evaluator.hpp"
#include "eval/tree.hpp"

namespace morvax {
namespace {

ResultList ref_error() { return {EvalResult::error(EvalError::Ref)}; }

}  // namespace

ResultList TreeContext::read_named(std::string_view name, Index index,
                                                std::size_t dimension) const {
    std::span<const NodePtr> matches = tree_.find(name);
    if (matches.empty()) return ref_error();
    if (index) {
        if (*index == 0 || *index > matches.size()) return ref_error();
        matches = matches.subspan(*index - 1, 1);
    }
    ResultList out;
    out.reserve(matches.size());
    // `matches` views the name index, which nested evaluations only read.
    for (const NodePtr n : matches) out.push_back(tree_.read(n, dimension).as_own());
    return out;
}

ResultList TreeContext::get_reference_value(std::string_view name,
                                                         Index index) const {
    return read_named(name, index, dimension_);
}

ResultList TreeContext::get_children_values() const {
    ResultList out;
    tree_.read_children(node_, dimension_, [&](const EvalResult& r) { out.push_back(r); });
    return out;
}

ResultList TreeContext::get_right_values() const {
    ResultList out;
    if (!tree_.read_right(node_, dimension_, [&](const EvalResult& r) { out.push_back(r); })) return ref_error();
    return out;
}

EvalNote EvalContext::get_right_value(std::size_t index) const {
    const ResultList values = get_right_values();
    return extract_indexed_value(values, index);
}

EvalNote TreeContext::get_right_value(std::size_t index) const {
    EvalResult picked;
    if (!tree_.read_right_at(node_, dimension_, index, picked)) return EvalResult::error(EvalError::Ref);
    return picked;
}

ResultList TreeContext::get_cross_dimensional_values(std::string_view name,
                                                                  Index index) const {
    return read_named(name, index, 0);
}

}  // namespace morvax
