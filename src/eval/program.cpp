#include "eval/program.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "eval/tree_index.hpp"

namespace morvax {
namespace {

// Deeper syntax trees stay with the evaluator, which runs on the evaluation's
// own stack segments; compiling happens where the formula was parsed, on a
// stack with room for its nesting.
constexpr int kMaxCompileNesting = 48;

// The nodes a name designates, the index applied: none when the name is
// unknown or the index points past them.
std::span<const NodePtr> designated(RecentNames& names, const NodeReference& ref) {
    std::span<const NodePtr> targets = names.find(ref.name);
    if (ref.index) {
        targets = *ref.index >= 1 && *ref.index <= targets.size() ? targets.subspan(*ref.index - 1, 1)
                                                                 : std::span<const NodePtr>{};
    }
    return targets;
}

// The step of a reference designating one node or none.
Step single_read(std::span<const NodePtr> targets) {
    Step step(targets.empty() ? StepOp::Fail : StepOp::Read);
    if (targets.empty()) {
        step.small = static_cast<std::uint8_t>(EvalError::Ref);
    } else {
        step.count = targets[0];
    }
    return step;
}

// Positions stay below 2^32: a larger index picks nothing, as 0 does.
std::uint32_t listed_position(std::size_t index) {
    return index <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(index) : 0;
}

// Sets the payload word after `step`.
void set_payload(Step* step, const void* from, std::size_t size) {
    std::memcpy(static_cast<void*>(step + 1), from, size);
}

class Compiler {
public:
    Compiler(RecentNames& names, std::vector<Step>& out, std::vector<LiteralStep>* literals)
        : names_(names), out_(out), literals_(literals) {}

    bool formula(const Value& value) {
        switch (value.kind) {
            case Value::Kind::Number: number(value.number); break;
            case Value::Kind::Empty: emit(Step(StepOp::Empty), 1); break;
            case Value::Kind::Expression: expression(*value.expression, false); break;
        }
        emit(Step(StepOp::End), 0);
        return ok_ && deepest_ <= kProgramStack;
    }

private:
    // Each compile function leaves one value on the machine's stack, or, with
    // `collecting` (an aggregation's argument), may instead hand its results
    // straight to the aggregation: it returns true then.

    bool expression(const Expression& e, bool collecting) {
        if (!enter()) return false;
        bool collected = false;
        if (e.rest.empty()) {
            collected = product(e.first, collecting);
        } else {
            product(e.first, false);
            for (const AdditionOperation& op : e.rest) {
                product(op.operand, false);
                emit(Step(op.op == AddOperator::Add ? StepOp::Add : StepOp::Subtract), -1);
            }
        }
        --nesting_;
        return collected;
    }

    bool product(const MultiplicationExpression& e, bool collecting) {
        if (e.rest.empty()) return power(e.first, collecting);
        power(e.first, false);
        for (const MultiplicationOperation& op : e.rest) {
            power(op.operand, false);
            const StepOp code = op.op == MulOperator::Multiply ? StepOp::Multiply
                                : op.op == MulOperator::Divide ? StepOp::Divide
                                                               : StepOp::Modulo;
            emit(Step(code), -1);
        }
        return false;
    }

    bool power(const PowerExpression& e, bool collecting) {
        if (e.exponents.empty()) return unary(e.base, collecting);
        unary(e.base, false);
        for (const UnaryExpression& exponent : e.exponents) {
            unary(exponent, false);
            emit(Step(StepOp::Power), -1);
        }
        return false;
    }

    bool unary(const UnaryExpression& e, bool collecting) {
        if (left_to_evaluator(e.operand)) {
            emit(Step(collecting ? StepOp::CollectEvaluated : StepOp::Evaluate), collecting ? 0 : 1, &e);
            return collecting;
        }
        if (e.sign != Sign::Minus) return atomic(e.operand, collecting);
        atomic(e.operand, false);
        emit(Step(StepOp::Negate), 0);
        return false;
    }

    static bool left_to_evaluator(const AtomicExpression& a) {
        if (const auto* f = std::get_if<FunctionCall>(&a)) return f->name == FunctionName::IfError || f->args.empty();
        if (const auto* g = std::get_if<AggregationCall>(&a)) return g->name == AggregationName::Coalesce;
        return std::holds_alternative<ConditionalCall>(a);
    }

    bool atomic(const AtomicExpression& a, bool collecting) {
        switch (a.index()) {
            case atomic_index<NumberLiteral>:
                note(LiteralStep::Kind::Number, &std::get<NumberLiteral>(a));
                number(std::get<NumberLiteral>(a).value);
                return false;
            case atomic_index<NodeReference>: return reference(std::get<NodeReference>(a), collecting);
            case atomic_index<ChildrenReference>: return listed(std::get<ChildrenReference>(a).index, collecting, StepOp::Children);
            case atomic_index<RightReference>: return listed(std::get<RightReference>(a).index, collecting, StepOp::Right);
            case atomic_index<ModifierCall>: {
                const ModifierCall& call = std::get<ModifierCall>(a);
                if (call.reference.index) note(LiteralStep::Kind::Modifier, &call.reference);
                const std::span<const NodePtr> targets = designated(names_, call.reference);
                Step step(call.name == ModifierName::Total ? StepOp::Total : StepOp::Ratio);
                step.count = static_cast<std::uint32_t>(targets.size());
                emit(step, 1, targets.data());
                return false;
            }
            case atomic_index<FunctionCall>: return function(std::get<FunctionCall>(a));
            case atomic_index<AggregationCall>: return aggregation(std::get<AggregationCall>(a));
            case atomic_index<EmptyLiteral>: emit(Step(StepOp::Empty), 1); return false;
            case atomic_index<Parenthesised>: return expression(*std::get<Parenthesised>(a).inner, collecting);
            default: ok_ = false; return false;  // conditionals go to the evaluator
        }
    }

    void number(double x) { emit(Step(StepOp::Number), 1, x); }

    // The step emitted next is made from `node`: a Number's payload follows it.
    void note(LiteralStep::Kind kind, const void* node) {
        if (literals_ != nullptr) literals_->push_back({static_cast<std::uint32_t>(out_.size()), kind, node});
    }

    // One node read alone (an index picks at most one); several, without an
    // index, read all and then fail, unless an aggregation collects them.
    bool reference(const NodeReference& ref, bool collecting) {
        const std::span<const NodePtr> targets = designated(names_, ref);
        if (targets.size() > 1) {
            Step step(collecting ? StepOp::CollectMany : StepOp::ReadMany);
            step.count = static_cast<std::uint32_t>(targets.size());
            emit(step, collecting ? 0 : 1, targets.data());
            return collecting;
        }
        if (ref.index) note(LiteralStep::Kind::Reference, &ref);
        emit(single_read(targets), 1);
        return false;
    }

    // children and right: `op` picks one by index, its -Many form or its
    // Collect- form take them all. Both forms follow `op` in StepOp.
    bool listed(const Index& index, bool collecting, StepOp op) {
        Step step(op);
        if (index) {
            note(LiteralStep::Kind::Listed, &index);
            step.count = listed_position(*index);
        } else {
            step.op = static_cast<StepOp>(static_cast<int>(op) + (collecting ? 2 : 1));
        }
        const bool collected = !index && collecting;
        emit(step, collected ? 0 : 1);
        return collected;
    }

    bool function(const FunctionCall& call) {
        expression(call.args[0], false);
        const bool two = call.args.size() > 1;
        if (two) expression(call.args[1], false);
        Step step(StepOp::Call);
        step.small = static_cast<std::uint8_t>(call.name);
        step.count = two ? 2 : 1;
        emit(step, two ? -1 : 0);
        return false;
    }

    bool aggregation(const AggregationCall& call) {
        emit(Step(StepOp::Begin), 1);
        if (call.args) {
            for (const Expression& arg : *call.args) {
                if (!expression(arg, true)) emit(Step(StepOp::Collect), -1);
            }
        }
        Step step(StepOp::Reduce);
        step.small = static_cast<std::uint8_t>(call.name);
        emit(step, 0);
        return false;
    }

    bool enter() {
        if (++nesting_ > kMaxCompileNesting) ok_ = false;
        return ok_;
    }

    // `depth`: how the step changes the height of the machine's stack.
    void emit(Step step, int depth) {
        out_.push_back(step);
        height_ += depth;
        deepest_ = std::max(deepest_, static_cast<std::size_t>(std::max(height_, 0)));
    }
    // The same, with its payload word.
    template <class T>
    void emit(Step step, int depth, T payload) {
        static_assert(sizeof(T) <= sizeof(Step) && std::is_trivially_copyable_v<T>);
        emit(step, depth);
        Step word(StepOp::End);
        std::memcpy(static_cast<void*>(&word), &payload, sizeof(T));
        out_.push_back(word);
    }

    RecentNames& names_;
    std::vector<Step>& out_;
    std::vector<LiteralStep>* literals_;
    int nesting_ = 0;
    int height_ = 0;
    std::size_t deepest_ = 0;
    bool ok_ = true;
};

}  // namespace

bool compile_formula(const Value& value, RecentNames& names, std::vector<Step>& out,
                     std::vector<LiteralStep>* literals) {
    const std::size_t before = out.size();
    if (Compiler(names, out, literals).formula(value)) return true;
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
    return false;
}

void set_literal_steps(Step* steps, std::span<const LiteralStep> literals, RecentNames& names) {
    for (const LiteralStep& l : literals) {
        Step* step = steps + l.step;
        switch (l.kind) {
            case LiteralStep::Kind::Number:
                set_payload(step, &static_cast<const NumberLiteral*>(l.node)->value, sizeof(double));
                break;
            case LiteralStep::Kind::Reference: {
                const std::uint16_t flags = step->flags;  // a formula's first step carries them
                *step = single_read(designated(names, *static_cast<const NodeReference*>(l.node)));
                step->flags = flags;
                break;
            }
            case LiteralStep::Kind::Modifier: {
                const std::span<const NodePtr> targets = designated(names, *static_cast<const NodeReference*>(l.node));
                step->count = static_cast<std::uint32_t>(targets.size());
                const NodePtr* first = targets.data();
                set_payload(step, &first, sizeof(first));
                break;
            }
            case LiteralStep::Kind::Listed:
                step->count = listed_position(**static_cast<const Index*>(l.node));
                break;
        }
    }
}

}  // namespace morvax
