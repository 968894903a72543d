#include "eval/program.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "eval/context.hpp"
#include "eval/evaluator.hpp"
#include "eval/tree.hpp"

namespace morvax {
namespace {

// Deeper syntax trees stay with the evaluator, which runs on the evaluation's
// own stack segments; compiling happens where the formula was parsed, on a
// stack with room for its nesting.
constexpr int kMaxCompileNesting = 48;

class Compiler {
public:
    Compiler(const TreeIndex& tree, std::vector<Step>& out) : tree_(tree), out_(out) {}

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
            case 0: number(std::get<NumberLiteral>(a).value); return false;
            case 1: return reference(std::get<NodeReference>(a), collecting);
            case 2: return listed(std::get<ChildrenReference>(a).index, collecting, StepOp::Children);
            case 3: return listed(std::get<RightReference>(a).index, collecting, StepOp::Right);
            case 4: {
                const ModifierCall& call = std::get<ModifierCall>(a);
                const std::span<const NodePtr> targets = designated(call.reference);
                Step step(call.name == ModifierName::Total ? StepOp::Total : StepOp::Ratio);
                step.count = static_cast<std::uint32_t>(targets.size());
                emit(step, 1, targets.data());
                return false;
            }
            case 5: return function(std::get<FunctionCall>(a));
            case 6: return aggregation(std::get<AggregationCall>(a));
            case 8: emit(Step(StepOp::Empty), 1); return false;
            case 9: return expression(*std::get<Parenthesised>(a).inner, collecting);
            default: ok_ = false; return false;  // conditionals go to the evaluator
        }
    }

    void number(double x) { emit(Step(StepOp::Number), 1, x); }

    // The nodes a name designates, the index applied: none when the name is
    // unknown or the index points past them.
    std::span<const NodePtr> designated(const NodeReference& ref) const {
        std::span<const NodePtr> targets = tree_.find(ref.name);
        if (ref.index) {
            targets = *ref.index >= 1 && *ref.index <= targets.size() ? targets.subspan(*ref.index - 1, 1)
                                                                     : std::span<const NodePtr>{};
        }
        return targets;
    }

    // One node read alone (an index picks at most one); several, without an
    // index, read all and then fail, unless an aggregation collects them.
    bool reference(const NodeReference& ref, bool collecting) {
        const std::span<const NodePtr> targets = designated(ref);
        if (targets.size() > 1) {
            Step step(collecting ? StepOp::CollectMany : StepOp::ReadMany);
            step.count = static_cast<std::uint32_t>(targets.size());
            emit(step, collecting ? 0 : 1, targets.data());
            return collecting;
        }
        Step step(targets.empty() ? StepOp::Fail : StepOp::Read);
        if (targets.empty()) {
            step.small = static_cast<std::uint8_t>(EvalError::Ref);
        } else {
            step.count = targets[0];
        }
        emit(step, 1);
        return false;
    }

    // children and right: `op` picks one by index, its -Many form or its
    // Collect- form take them all. Both forms follow `op` in StepOp.
    bool listed(const Index& index, bool collecting, StepOp op) {
        Step step(op);
        if (index) {
            // Positions stay below 2^32: a larger index picks nothing, as 0 does.
            step.count = *index <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(*index) : 0;
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

    const TreeIndex& tree_;
    std::vector<Step>& out_;
    int nesting_ = 0;
    int height_ = 0;
    std::size_t deepest_ = 0;
    bool ok_ = true;
};

}  // namespace

bool compile_formula(const Value& value, const TreeIndex& tree, std::vector<Step>& out) {
    const std::size_t before = out.size();
    if (Compiler(tree, out).formula(value)) return true;
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
    return false;
}

// -- The machine --------------------------------------------------------------

namespace {

// One value on the machine's stack: errors never get there (they end the
// formula), so a number or Empty. Left unwritten until pushed.
struct Slot {
    double value;
    bool empty;
};

}  // namespace

EvalResult TreeEvaluation::run_program(const Step* step, NodePtr n, std::size_t d) {
    Slot stack[kProgramStack];
    std::size_t top = 0;  // values in `stack`
    const std::size_t collected_base = collected_.size();
    auto push = [&](double x) { stack[top++] = {x, false}; };
    auto push_result = [&](const EvalResult& r) { stack[top++] = {r.value(), r.is_empty()}; };
    auto pop_number = [&] {
        const Slot& s = stack[--top];
        return s.empty ? 0.0 : s.value;
    };
    auto fail = [&](EvalError e) {
        collected_.resize(collected_base);
        return EvalResult::error(e);
    };
    // The first error among results read in full, or Empty.
    auto collect = [&](const EvalResult& r, EvalResult& first_error) {
        if (r.is_error()) {
            if (!first_error.is_error()) first_error = r;
        } else if (r.is_number()) {
            collected_.push_back(r.value());
        }
    };
    // A step with a payload word is followed by it: the loop steps over both.
    for (;; step += has_payload(step->op) ? 2 : 1) {
        switch (step->op) {
            case StepOp::Number: push(payload<double>(step)); break;
            case StepOp::Empty: stack[top++] = {0, true}; break;
            case StepOp::Fail: return fail(step->error());
            case StepOp::Read: {
                const EvalResult r = read(step->count, d);
                if (r.is_error()) return fail(EvalError::Ref);
                push_result(r);
                break;
            }
            case StepOp::ReadMany: {
                const auto* targets = payload<const NodePtr*>(step);
                for (std::uint32_t i = 0; i < step->count; ++i) read(targets[i], d);
                return fail(EvalError::Many);
            }
            case StepOp::CollectMany: {
                const auto* targets = payload<const NodePtr*>(step);
                EvalResult first_error;
                for (std::uint32_t i = 0; i < step->count; ++i) collect(read(targets[i], d).as_own(), first_error);
                if (first_error.is_error()) return fail(first_error.error_kind());
                break;
            }
            case StepOp::Children:
            case StepOp::ChildrenMany:
            case StepOp::CollectChildren:
            case StepOp::Right:
            case StepOp::RightMany:
            case StepOp::CollectRight: {
                const bool children = step->op <= StepOp::CollectChildren;
                // Each family lists its picking step, its -Many and its Collect- form in that order.
                const int use = static_cast<int>(step->op) - static_cast<int>(children ? StepOp::Children : StepOp::Right);
                constexpr int kPick = 0, kMany = 1, kCollect = 2;
                EvalResult picked = EvalResult::error(EvalError::Ref);
                EvalResult first_error;
                std::size_t position = 0;
                auto take = [&](const EvalResult& r) {
                    ++position;
                    if (use == kPick && position == step->count) picked = r;
                    if (use == kCollect) collect(r, first_error);
                };
                if (children) {
                    read_children(n, d, take);
                } else if (use == kPick ? !read_right_at(n, d, step->count, picked)
                           : use == kMany ? !walk_right(n, d)
                                          : !read_right(n, d, take)) {
                    // A single formula has no later dimensions: its right is a REF!.
                    return fail(use == kMany ? EvalError::Many : EvalError::Ref);
                }
                if (use == kMany) return fail(EvalError::Many);
                if (use == kCollect) {
                    if (first_error.is_error()) return fail(first_error.error_kind());
                    break;
                }
                if (picked.is_error()) return fail(picked.error_kind());
                push_result(picked);
                break;
            }
            case StepOp::Negate: {
                Slot& s = stack[top - 1];
                s = {s.empty ? -0.0 : -s.value, false};
                break;
            }
            case StepOp::Add:
            case StepOp::Subtract:
            case StepOp::Power: {
                const double b = pop_number();
                const double a = pop_number();
                push(step->op == StepOp::Add ? a + b : step->op == StepOp::Subtract ? a - b : std::pow(a, b));
                break;
            }
            case StepOp::Multiply:
            case StepOp::Divide:
            case StepOp::Modulo: {
                const double b = pop_number();
                double a = pop_number();
                const MulOperator op = step->op == StepOp::Multiply ? MulOperator::Multiply
                                       : step->op == StepOp::Divide ? MulOperator::Divide
                                                                    : MulOperator::Modulo;
                if (!multiply_step(op, a, b)) return fail(EvalError::Value);
                push(a);
                break;
            }
            case StepOp::Call: {
                const bool two = step->count == 2;
                const bool second_empty = !two || stack[top - 1].empty;
                const double y = two ? pop_number() : 0.0;
                const double x = pop_number();
                const EvalResult r = apply_function(step->function(), x, two, second_empty, y).as_eval_result();
                if (r.is_error()) return fail(r.error_kind());
                push_result(r);
                break;
            }
            case StepOp::Begin: push(static_cast<double>(collected_.size())); break;
            case StepOp::Collect: {
                const Slot& s = stack[--top];
                if (!s.empty) collected_.push_back(s.value);
                break;
            }
            case StepOp::Reduce: {
                const auto mark = static_cast<std::size_t>(stack[--top].value);
                const EvalResult r =
                    reduce_numbers(step->aggregation(), std::span<double>(collected_).subspan(mark)).as_eval_result();
                collected_.resize(mark);
                if (r.is_error()) return fail(r.error_kind());
                push_result(r);
                break;
            }
            case StepOp::Total:
            case StepOp::Ratio: {
                if (step->count == 0) return fail(EvalError::Ref);
                const auto* targets = payload<const NodePtr*>(step);
                // The designated nodes in dimension 0 first, all of them.
                EvalResult first_error;
                double total = -0.0;
                for (std::uint32_t i = 0; i < step->count; ++i) {
                    const EvalResult r = read(targets[i], 0).as_own();
                    if (r.is_error() && !first_error.is_error()) first_error = r;
                    if (r.is_number() && !first_error.is_error()) total += r.value();
                }
                if (first_error.is_error()) return fail(first_error.error_kind());
                if (step->op == StepOp::Total) {
                    push(total);
                    break;
                }
                if (total == 0) return fail(EvalError::Value);
                // Then all of them in this dimension; only one may be meant.
                EvalResult now;
                for (std::uint32_t i = 0; i < step->count; ++i) {
                    const EvalResult r = read(targets[i], d).as_own();
                    if (i == 0) now = r;
                }
                if (step->count > 1) return fail(EvalError::Many);
                if (now.is_error()) return fail(now.error_kind());
                push(now.is_number() ? now.value() / total : 0.0);
                break;
            }
            case StepOp::Evaluate:
            case StepOp::CollectEvaluated: {
                const EvalNote note = evaluate(*payload<const UnaryExpression*>(step), TreeContext(*this, n, d));
                if (step->op == StepOp::Evaluate) {
                    const EvalResult r = note.as_eval_result();
                    if (r.is_error()) return fail(r.error_kind());
                    push_result(r);
                    break;
                }
                EvalResult first_error;
                if (note.is_many()) {
                    for (const EvalResult& r : note.list()) collect(r, first_error);
                } else {
                    collect(note.single(), first_error);
                }
                if (first_error.is_error()) return fail(first_error.error_kind());
                break;
            }
            case StepOp::End: {
                const Slot& s = stack[top - 1];
                return s.empty ? EvalResult::empty() : EvalResult::number(s.value);
            }
        }
    }
}

}  // namespace morvax
