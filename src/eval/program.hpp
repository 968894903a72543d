// A formula compiled for one tree evaluation: its syntax tree flattened into
// steps for a small stack machine, with every name looked up in the tree's
// index once, when the formula is compiled, rather than on each evaluation.
//
// The steps keep the evaluator's meaning exactly: operands are read left to
// right, a failing operand ends the formula at once (nothing after it is
// read), and a reference that designates several nodes reads all of them
// before anything looks at the results, so on-demand evaluations (and hence
// the outcomes of cycles) happen in the same order. A failure inside any step
// here ends the whole formula with that error, which is what the evaluator
// does too for everything compiled: only `iferror`, `coalesce` and the
// conditionals look at an operand's error without passing it on, and those
// are left to the evaluator (a step hands them the syntax tree).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <span>
#include <vector>

#include "eval/types.hpp"
#include "parser/ast.hpp"

namespace morvax {

class RecentNames;

enum class StepOp : std::uint8_t {
    Number,        // push the payload's number
    Empty,         // push Empty
    Fail,          // end with `error()`
    Read,          // push the value of node `count` (errors end as REF!)
    ReadMany,      // read all `count` targets (the payload), then end with MANY!
    CollectMany,   // read all `count` targets into the aggregation, then end with the first error
    Children,      // read every child; push child `count` (1-based; REF! when there is none)
    ChildrenMany,  // read every child, then end with MANY!
    CollectChildren,
    Right,         // read every later dimension; push the one `count` on
    RightMany,
    CollectRight,
    Negate,
    Add,
    Subtract,
    Multiply,
    Divide,
    Modulo,
    Power,
    Call,          // `function()` of the top one or two values (`count`)
    Begin,         // start an aggregation: push the mark of its collected values
    Collect,       // move the top value into the aggregation
    Reduce,        // `aggregation()` of the values collected since the mark
    Total,         // total over `count` targets (the payload) in dimension 0
    Ratio,         // ratio of the targets' value now to that total
    Evaluate,      // push what the evaluator makes of the payload's syntax tree
    CollectEvaluated,
    End,           // the top value is the result
};

// One step in 8 bytes, so that the code of a large model's many formulas
// stays small. The steps that need more (a number, a list of targets, a piece
// of syntax tree) are followed by one payload word. Aligned to 8: a formula's
// address keeps its low bits free for FormulaSlot.
struct alignas(8) Step {
    explicit Step(StepOp o) : op(o) {}

    StepOp op;
    std::uint8_t small = 0;  // the function, aggregation or error
    // On a formula's first step, kEvaluates when any step hands syntax to
    // the evaluator, whose recursion needs more stack than the steps do.
    std::uint16_t flags = 0;
    static constexpr std::uint16_t kEvaluates = 1;
    // Targets or arguments; the node Read reads; the index Children and Right
    // pick (an index past any position picks nothing).
    std::uint32_t count = 0;

    FunctionName function() const { return static_cast<FunctionName>(small); }
    AggregationName aggregation() const { return static_cast<AggregationName>(small); }
    EvalError error() const { return static_cast<EvalError>(small); }
};
static_assert(sizeof(Step) == 8);

// Whether a step of this kind is followed by a payload word.
constexpr bool has_payload(StepOp op) {
    switch (op) {
        case StepOp::Number:
        case StepOp::ReadMany:
        case StepOp::CollectMany:
        case StepOp::Total:
        case StepOp::Ratio:
        case StepOp::Evaluate:
        case StepOp::CollectEvaluated: return true;
        default: return false;
    }
}

// The payload word after `step`, as a T of at most 8 bytes.
template <class T>
T payload(const Step* step) {
    static_assert(sizeof(T) <= sizeof(Step) && std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, step + 1, sizeof(T));
    return value;
}

// The deepest value stack a compiled formula may need. Deeper formulas stay
// with the evaluator: the machine's stack lives in each frame of an
// on-demand recursion that may be a million evaluations deep.
inline constexpr std::size_t kProgramStack = 12;

// Appends the steps of `value` (ending with End) to `out` and returns true,
// or returns false (leaving `out` as it was) when the formula is better left
// to the evaluator: nested too deeply for the machine's stack.
// `names` looks the references' names up in the tree's index.
//
// `literals`, when given, gets the steps made from the tree's literals: the
// steps of another text of the same shape (the same tree with other
// literals) are these steps with those alone made anew (set_literal_steps).
struct LiteralStep {
    enum class Kind : std::uint8_t { Number, Reference, Modifier, Listed };
    std::uint32_t step;  // its place among the steps
    Kind kind;
    const void* node;  // the NumberLiteral, the NodeReference (a modifier's too), or children's or right's Index
};
bool compile_formula(const Value& value, RecentNames& names, std::vector<Step>& out,
                     std::vector<LiteralStep>* literals = nullptr);
// Makes anew the steps `literals` notes, from the tree they were compiled
// from, whose literals may have changed since.
void set_literal_steps(Step* steps, std::span<const LiteralStep> literals, RecentNames& names);

// Whether any of the steps gives part of the syntax tree to the evaluator.
inline bool hands_over_syntax(std::span<const Step> steps) {
    for (std::size_t i = 0; i < steps.size(); i += has_payload(steps[i].op) ? 2 : 1) {
        if (steps[i].op == StepOp::Evaluate || steps[i].op == StepOp::CollectEvaluated) return true;
    }
    return false;
}

}  // namespace morvax
