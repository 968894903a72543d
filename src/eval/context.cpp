#include "eval/context.hpp"

#include "eval/tree.hpp"

#include <algorithm>

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
    const TreeIndex& tree = tree_.tree();
    const NodePtr end = tree.subtree_end(node_);
    // Counted first (hops over the subtree ends, no Node touched) so that a
    // long list is allocated once.
    std::size_t count = 0;
    for (NodePtr child = node_ + 1; child < end; child = tree.subtree_end(child)) ++count;
    ResultList out;
    out.reserve(count);
    for (NodePtr child = node_ + 1; child < end; child = tree.subtree_end(child)) {
        const NodePtr next = tree.subtree_end(child);
        // The next child's formula loads while this one is read.
        if (next < end) tree_.formulas().prefetch(next, dimension_);
        out.push_back(tree_.read(child, dimension_).as_own());
    }
    return out;
}

ResultList TreeContext::get_right_values() const {
    const FormulaTable& formulas = tree_.formulas();
    if (!formulas.is_list(node_)) return ref_error();
    const std::size_t length = formulas.length(node_);
    ResultList out;
    out.reserve(length - std::min(length, dimension_ + 1));
    // Later dimensions of the node itself; their errors arrive as they are.
    for (std::size_t k = dimension_ + 1; k < length; ++k) {
        out.push_back(tree_.read(node_, k));
    }
    return out;
}

ResultList TreeContext::get_cross_dimensional_values(std::string_view name,
                                                                  Index index) const {
    return read_named(name, index, 0);
}

}  // namespace morvax
