#include "eval/tree_evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "eval/evaluator.hpp"

namespace morvax {
namespace {

ResultList ref_error() { return {EvalResult::error(EvalError::Ref)}; }

}  // namespace

void evaluate_tree_values(Node& root) {
    TreeEvaluation evaluation(root);
    evaluation.evaluate_all();
    evaluation.save_values();
}

TreeEvaluation::TreeEvaluation(Node& root) : TreeEvaluation(FlatTree(root)) {}

// The flat tree goes before the memo table is made: the index and the
// formula table keep what they need of it.
TreeEvaluation::TreeEvaluation(FlatTree tree, Interrupt* interrupt)
    : interrupt_(interrupt != nullptr ? *interrupt : never_),
      nodes_(tree.take_nodes()),
      tree_(tree),
      formulas_(std::move(tree), tree_, interrupt_),
      dims_(formulas_.max_length()),
      values_(tree_.size(), dims_, formulas_.lists(), formulas_.slots()),
      stack_(tree_.size(), dims_) {}

// The entries of formula lists that read nothing (numbers, empty texts,
// texts that do not parse, dimensions past a list's end) cannot take part in
// a cycle, and a list's results take the list form whatever their order: they
// are stored up front, one sweep per dimension, and are memo hits when their
// turn or a reader comes. A single formula waits for its turn: where it is
// first evaluated decides its form.
void TreeEvaluation::store_constants() {
    for (std::size_t d = 0; d < dims_; ++d) {
        for (NodePtr n = 0; n < tree_.size(); ++n) {
            if (!formulas_.is_list(n)) continue;
            bool covered = false;  // past a list's end the slot is no formula
            if (formulas_.formula_in(n, d, covered).is_formula()) continue;
            values_.set_value(n, d, compute(n, d), true);
        }
        if (interrupt_.tick()) return;
    }
}

void TreeEvaluation::evaluate_all() {
    if (dims_ == 0) return;
    store_constants();
    auto sweep = [&] {
        for (NodePtr n = 0; n < tree_.size(); ++n) {
            // Most nodes were read by a formula before their turn comes.
            if (values_.complete(n)) continue;
            for (std::size_t d = 0; d < dims_; ++d) {
                if (interrupt_.tick()) return;
                evaluate_dimension(n, d);
            }
        }
    };
    // A large tree is evaluated on a stack segment from the start, where
    // on-demand evaluations nest without a change of stack each time the
    // thread's own small budget runs out; a small one maps none unless its
    // depth needs one.
    constexpr std::size_t kSegmentFrom = 4096;  // cells
    if (tree_.size() * dims_ >= kSegmentFrom) {
        segments_.call(sweep, StackSegments::kReserve);
    } else {
        sweep();
    }
}

std::size_t TreeEvaluation::stack_need(NodePtr n, std::size_t d) const {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    return covered && slot.is_deep() ? StackSegments::kReserve : StackSegments::kShallowStep;
}

EvalResult TreeEvaluation::compute(NodePtr n, std::size_t d) {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    if (!covered) return EvalResult::empty();
    if (slot.is_number()) return EvalResult::number(formulas_.number(slot));
    if (slot.is_empty()) return EvalResult::empty();
    if (slot.is_syntax()) return evaluate(*slot.syntax(), TreeContext(*this, n, d)).as_eval_result();
    if (slot.steps() == nullptr) return EvalResult::error(EvalError::Error);
    return run_program(slot.steps(), n, d);
}

void TreeEvaluation::evaluate_dimension(NodePtr n, std::size_t d) {
    if (!values_.get_value(n, d)) segments_.call([&] { run_dimension(n, d); }, stack_need(n, d));
}

EvalResult TreeEvaluation::run_dimension(NodePtr n, std::size_t d) {
    stack_.push(n, d);
    const EvalResult result = compute(n, d);
    values_.set_value(n, d, result, formulas_.is_list(n));
    stack_.pop(n, d);
    return result;
}

EvalResult TreeEvaluation::read(NodePtr n, std::size_t d) {
    // Once stopped, every read ends at once, so that nested evaluations
    // however deep unwind quickly; what they store is never looked at.
    if (interrupt_.tick()) return EvalResult::error(EvalError::Error);
    if (const auto known = values_.get_value(n, d)) return *known;
    if (stack_.is_circular(n, d)) {
        // The evaluation in progress further out overwrites this later.
        values_.set_value(n, d, EvalResult::error(EvalError::Ref), formulas_.is_list(n));
        return EvalResult::error(EvalError::Ref);
    }
    EvalResult result;
    segments_.call([&] { result = run_dimension(n, d); }, stack_need(n, d));
    return result;
}

bool TreeEvaluation::walk_right(NodePtr n, std::size_t d) {
    if (!formulas_.is_list(n)) return false;
    if (right_evaluated_from_.empty()) right_evaluated_from_.assign(tree_.size(), TextIds::kNone);
    const std::size_t length = formulas_.length(n);
    // Nested reads may lower the mark: the rest is then evaluated already.
    for (std::size_t k = d + 1; k < length && k < right_evaluated_from_[n]; ++k) {
        ++right_steps_;
        read(n, k);
    }
    right_evaluated_from_[n] = static_cast<std::uint32_t>(std::min(d + 1, std::size_t{right_evaluated_from_[n]}));
    return true;
}

bool TreeEvaluation::read_right_at(NodePtr n, std::size_t d, std::size_t index, EvalResult& out) {
    if (!walk_right(n, d)) return false;
    const std::size_t length = formulas_.length(n);
    const std::size_t later = length > d ? length - d - 1 : 0;
    out = index == 0 || index > later ? EvalResult::error(EvalError::Ref) : read(n, d + index);
    return true;
}

void TreeEvaluation::save_values() {
    for (NodePtr n = 0; n < nodes_.size(); ++n) {
        if (auto results = values_.results(n)) nodes_[n]->value = std::move(*results);
    }
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

// -- TreeContext --------------------------------------------------------------

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
