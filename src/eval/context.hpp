// What the evaluator asks about the world outside a formula: other nodes, the
// node's children and its later dimensions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "eval/result_list.hpp"
#include "eval/types.hpp"
#include "parser/ast.hpp"

namespace morvax {

class EvalContext {
public:
    virtual ~EvalContext() = default;

    // One result per node the reference designates (the index already applied).
    virtual ResultList get_reference_value(std::string_view name,
                                                        Index index) const = 0;
    // One result per child of the node being evaluated.
    virtual ResultList get_children_values() const = 0;
    // One result per later dimension of the node being evaluated.
    virtual ResultList get_right_values() const = 0;
    // What an indexed right reference gives (extract_indexed_value of
    // get_right_values()); a context may find it without the whole list.
    virtual EvalNote get_right_value(std::size_t index) const;
    // What coalesce makes of a bare right reference: the first of
    // get_right_values() that is not Empty, or Empty; a context may stop
    // reading there.
    virtual EvalResult get_first_right_value() const;
    // The designated nodes' values in dimension 0.
    virtual ResultList get_cross_dimensional_values(std::string_view name,
                                                                 Index index) const = 0;

    // The note of a reference to all the nodes of `name` (no index), where
    // the context keeps it from an earlier reader; else it gives false and
    // the evaluator reads get_reference_value.
    virtual bool kept_reference(std::string_view, EvalNote&) const { return false; }
    // `reduce(how, values)` of the values of all the nodes of `name`, in
    // this dimension or (`across`) in dimension 0. `how` is an aggregation
    // or kTotalOf, and tells `reduce` what to make of them; a context may
    // give instead what the same reduction of the same values gave before.
    using Reduce = EvalResult (*)(int how, const ResultList& values);
    static constexpr int kTotalOf = 32;
    virtual EvalResult reduce_named(std::string_view name, bool across, int how, Reduce reduce) const;
};

// No tree behind the formula: every name is unknown, nothing has children or
// later dimensions.
class EmptyContext final : public EvalContext {
public:
    ResultList get_reference_value(std::string_view, Index) const override {
        return {EvalResult::error(EvalError::Ref)};
    }
    ResultList get_children_values() const override { return {}; }
    ResultList get_right_values() const override { return {}; }
    ResultList get_cross_dimensional_values(std::string_view,
                                                         Index) const override {
        return {};
    }
};

}  // namespace morvax
