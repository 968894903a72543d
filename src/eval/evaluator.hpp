// The meaning of a parsed formula: a recursive walk that never throws; every
// failure is a value.  Operands are evaluated strictly left to right and the
// first failing one decides.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "eval/context.hpp"
#include "eval/types.hpp"
#include "parser/ast.hpp"

namespace morvax {

// A truth value, or the error that ended its evaluation.
struct Truth {
    bool value = false;
    bool failed = false;
    EvalError error = EvalError::Error;

    static Truth of(bool v) { return {v, false, EvalError::Error}; }
    static Truth fail(EvalError e) { return {false, true, e}; }
};

EvalNote evaluate(const Value& value, const EvalContext& ctx);
EvalNote evaluate(const Expression& e, const EvalContext& ctx);
EvalNote evaluate(const MultiplicationExpression& e, const EvalContext& ctx);
EvalNote evaluate(const PowerExpression& e, const EvalContext& ctx);
EvalNote evaluate(const UnaryExpression& e, const EvalContext& ctx);

Truth evaluate_boolean(const BooleanExpression& b, const EvalContext& ctx);
Truth evaluate_boolean(const OrExpression& e, const EvalContext& ctx);
Truth evaluate_boolean(const AndExpression& e, const EvalContext& ctx);
Truth evaluate_boolean(const NegationExpression& e, const EvalContext& ctx);

// The 1-based pick of indexed children and right references.
EvalNote extract_indexed_value(std::span<const EvalResult> values, std::size_t index);

// Built-in functions and aggregations.
EvalNote evaluate_function(const FunctionCall& call, const EvalContext& ctx);
EvalNote evaluate_aggregation(const AggregationCall& call, const EvalContext& ctx);

// What a function makes of its operands once they read as numbers: `two`
// tells whether a second argument was given, `second_empty` whether it was
// Empty (round keeps its factor at 1 then).
EvalNote apply_function(FunctionName name, double x, bool two, bool second_empty, double y);
// The reference of `e` where it is nothing but a reference to all the
// nodes of a name (`@Revenue`, `+@Revenue`, `(@Revenue)`), else null.
const NodeReference* whole_name(const Expression& e);
// What an aggregation (other than coalesce) makes of the numbers collected
// from its arguments, in order; may reorder `xs`.
EvalNote reduce_numbers(AggregationName name, std::span<double> xs);

// An operand read as a number: a Many is MANY!, an error is itself, Empty is 0.
struct NumberRead {
    double value = 0;
    bool failed = false;
    EvalError error = EvalError::Error;
};

// One step of a product, `acc op b`: false for a division or modulo by zero,
// which is VALUE!.
inline bool multiply_step(MulOperator op, double& acc, double b) {
    switch (op) {
        case MulOperator::Multiply: acc *= b; return true;
        case MulOperator::Divide:
            if (b == 0) return false;
            acc /= b;
            return true;
        case MulOperator::Modulo:
            if (b == 0) return false;
            acc = std::fmod(acc, b);
            return true;
    }
    return false;
}

inline NumberRead read_number(const EvalNote& note) {
    if (note.is_many()) return {0, true, EvalError::Many};
    const EvalResult& r = note.single();
    if (r.is_error()) return {0, true, r.error_kind()};
    return {r.is_number() ? r.value() : 0.0, false, EvalError::Error};
}

}  // namespace morvax
