#include "eval/tree_evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "eval/evaluator.hpp"

namespace morvax {
namespace {

ResultList ref_error() { return {EvalResult::error(EvalError::Ref)}; }

// What the values of several nodes of one name still mean once one is an
// error, as few: whoever takes them (an aggregation, coalesce, an operator
// failing with MANY!) stops at the first value that is not Empty, or at the
// first error, and asks no more than that they are several. The rest of the
// name's nodes are read without keeping their values: a formula reading a
// large name whose reads evaluate formulas that read it again would
// otherwise hold a list per level of nesting.
ResultList settled_list(const ResultList& before, const EvalResult& error) {
    for (const EvalResult& r : before) {
        if (!r.is_empty()) return {r, error};
    }
    return {error, EvalResult::empty()};
}

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
      values_(tree_.size(), dims_, formulas_.lists()),
      stack_(tree_.size(), dims_) {}

void TreeEvaluation::evaluate_all() {
    if (dims_ == 0) return;
    const Interrupt::OnSegments polls(interrupt_, segments_);
    auto sweep = [&] {
        for (NodePtr n = 0; n < tree_.size(); ++n) {
            // Most nodes were read by a formula before their turn comes.
            if (values_.complete(n)) continue;
            // A list of constants stores nothing: its entries come from the
            // formula table whenever asked for.
            if (formulas_.is_list(n) && formulas_.reads_nothing(n)) continue;
            if (interrupt_.tick()) return;
            if (constant_unread(n)) {
                bool uniform = false;
                values_.set_everywhere(n, compute(n, 0, uniform));
                continue;
            }
            // Stored for every dimension at once, a node is done.
            for (std::size_t d = 0; d < dims_ && !values_.complete(n); ++d) {
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

// A single formula that reads nothing (a number, an empty text, a text that
// does not parse) and that no formula has read yet: evaluated in dimension 0
// first, then in each other, it keeps one result, and nothing can read it in
// between, so it may be stored for all dimensions at once. (Read first in
// another dimension, it takes the list form instead: then it goes the long way.)
bool TreeEvaluation::constant_unread(NodePtr n) const {
    if (formulas_.is_list(n) || values_.shape(n) != MemoTable::Shape::Unset) return false;
    bool covered = false;
    return !formulas_.formula_in(n, 0, covered).is_formula();
}

std::size_t TreeEvaluation::stack_need(NodePtr n, std::size_t d) const {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    if (!slot.is_formula()) return StackSegments::kProgramStep;  // a constant: no recursion at all
    if (slot.is_deep()) return StackSegments::kReserve;
    if (slot.is_syntax() || (slot.steps()->flags & Step::kEvaluates) != 0) return StackSegments::kShallowStep;
    return StackSegments::kProgramStep;
}

EvalResult TreeEvaluation::compute(NodePtr n, std::size_t d, bool& uniform) {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    uniform = !slot.is_formula();
    if (uniform) return formulas_.constant_result(slot, covered);
    if (slot.is_syntax()) {
        uniform = true;
        return evaluate(*slot.syntax(), TreeContext(*this, n, d, uniform)).as_eval_result();
    }
    return run_program(slot.steps(), n, d, uniform);
}

inline EvalResult TreeEvaluation::run_where_it_fits(NodePtr n, std::size_t d) {
    // On a segment with room for the deepest step, no step need be asked.
    if (segments_.ample()) return run_dimension(n, d);
    EvalResult result;
    segments_.call([&] { result = run_dimension(n, d); }, stack_need(n, d));
    return result;
}

void TreeEvaluation::evaluate_dimension(NodePtr n, std::size_t d) {
    if (EvalResult r; known(n, d, r)) return;
    run_where_it_fits(n, d);
}

// A single formula evaluated first in dimension 0 whose result is the same
// in every dimension is stored for all of them at once: evaluating it again
// in each would read the same values and start no other evaluation (see
// Machine::uniform_).
EvalResult TreeEvaluation::run_dimension(NodePtr n, std::size_t d) {
    const bool list = formulas_.is_list(n);
    const bool first = values_.first_evaluation(n, d, list);
    stack_.push(n, d);
    bool uniform = false;
    const EvalResult result = compute(n, d, uniform);
    values_.store(n, d, result, list, first, uniform);
    stack_.pop(n, d);
    return result;
}

EvalResult TreeEvaluation::read_unstored(NodePtr n, std::size_t d) {
    // Once stopped, every read that would evaluate ends at once, so that
    // nested evaluations however deep unwind quickly; what they store is
    // never looked at.
    if (interrupt_.tick()) return EvalResult::error(EvalError::Error);
    if (stack_.is_circular(n, d)) {
        // The evaluation in progress further out overwrites this later.
        values_.set_value(n, d, EvalResult::error(EvalError::Ref), formulas_.is_list(n));
        return EvalResult::error(EvalError::Ref);
    }
    return run_where_it_fits(n, d);
}

bool TreeEvaluation::walk_right(NodePtr n, std::size_t d) {
    if (!formulas_.is_list(n)) return false;
    right_walks_.walk(n, d, formulas_.length(n), tree_.size(), [&](std::size_t k) {
        ++right_steps_;
        read(n, k);
    });
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
        if (value_is_list(n)) {
            std::vector<EvalResult> list(dims_);
            for (std::size_t d = 0; d < dims_; ++d) list[d] = result_at(n, d);
            nodes_[n]->value = AnyDim<EvalResult>::multi(std::move(list));
        } else if (values_.shape(n) == MemoTable::Shape::Single) {
            nodes_[n]->value = AnyDim<EvalResult>::single(values_.result_at(n, 0));
        }
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

// What `children` and `right` steps do with the values they read: each
// family lists its picking step, its -Many and its Collect- form in that
// order.
enum class Listed { Pick, Many, Collect };

}  // namespace

// One run of a compiled formula as n's in dimension d: the hot loop, so every
// step is inlined into run(). Each step returns false once the formula has
// its result (a failure or the End step); a failure gives back what the
// formula's aggregations collected.
class TreeEvaluation::Machine {
public:
    Machine(TreeEvaluation& tree, NodePtr n, std::size_t d)
        : tree_(tree), n_(n), d_(d), collected_base_(tree.collected_.size()) {}

    [[gnu::always_inline]] EvalResult run(const Step* step) {
        // A step with a payload word is followed by it: the loop steps over both.
        for (;; step += has_payload(step->op) ? 2 : 1) {
            if (!execute(step)) return result_;
        }
    }
    bool uniform() const { return uniform_; }

private:
    [[gnu::always_inline]] bool execute(const Step*& step) {
        switch (step->op) {
            case StepOp::Number: push(payload<double>(step)); return true;
            case StepOp::Empty: stack_[top_++] = {0, true}; return true;
            case StepOp::Fail: return fail(step->error());
            case StepOp::Read: return read_one(step->count);
            case StepOp::ReadMany: return read_many(step);
            case StepOp::CollectMany: return collect_many(step);
            case StepOp::Children:
            case StepOp::ChildrenMany:
            case StepOp::CollectChildren:
            case StepOp::Right:
            case StepOp::RightMany:
            case StepOp::CollectRight: return listed(*step);
            case StepOp::Negate: negate(); return true;
            case StepOp::Add:
            case StepOp::Subtract:
            case StepOp::Power: add_or_power(step->op); return true;
            case StepOp::Multiply:
            case StepOp::Divide:
            case StepOp::Modulo: return multiply(step->op);
            case StepOp::Call: return call(*step);
            case StepOp::Begin:
                if (step[1].op == StepOp::CollectMany && step[3].op == StepOp::Reduce &&
                    step[1].count >= Reductions::kFrom) {
                    // One name's nodes and nothing else: the loop goes on after Reduce.
                    const bool more = reduce_many(step + 1, step[3].aggregation());
                    step += 3;
                    return more;
                }
                push(static_cast<double>(tree_.collected_.size()));
                return true;
            case StepOp::Collect: collect_top(); return true;
            case StepOp::Reduce: return reduce(step->aggregation());
            case StepOp::Total:
            case StepOp::Ratio: return modifier(step);
            case StepOp::Evaluate:
            case StepOp::CollectEvaluated: return evaluated(step);
            case StepOp::End: return end();
        }
        return true;
    }

    // -- The value stack
    [[gnu::always_inline]] void push(double x) { stack_[top_++] = {x, false}; }
    [[gnu::always_inline]] void push_result(const EvalResult& r) { stack_[top_++] = {r.value(), r.is_empty()}; }
    [[gnu::always_inline]] double pop_number() {
        const Slot& s = stack_[--top_];
        return s.empty ? 0.0 : s.value;
    }
    [[gnu::always_inline]] bool fail(EvalError e) {
        tree_.collected_.resize(collected_base_);
        result_ = EvalResult::error(e);
        return false;
    }
    // A result pushed, or the formula failing with its error.
    [[gnu::always_inline]] bool push_or_fail(const EvalResult& r) {
        if (r.is_error()) return fail(r.error_kind());
        push_result(r);
        return true;
    }
    [[gnu::always_inline]] bool end() {
        const Slot& s = stack_[top_ - 1];
        result_ = s.empty ? EvalResult::empty() : EvalResult::number(s.value);
        return false;
    }

    // -- Aggregations
    // Keeps the first error among results read in full, or Empty. That error
    // is the formula's result once the step has read the rest: what it has
    // collected goes at once, and nothing more is, so that formulas nested
    // in the reads of the rest do not pile up on one another's numbers.
    [[gnu::always_inline]] void collect(const EvalResult& r, EvalResult& first_error) {
        if (r.is_error()) {
            if (!first_error.is_error()) {
                first_error = r;
                tree_.collected_.resize(collected_base_);
            }
        } else if (r.is_number() && !first_error.is_error()) {
            tree_.collected_.push_back(r.value());
        }
    }
    [[gnu::always_inline]] bool collected(const EvalResult& first_error) {
        return first_error.is_error() ? fail(first_error.error_kind()) : true;
    }
    [[gnu::always_inline]] void collect_top() {
        const Slot& s = stack_[--top_];
        if (!s.empty) tree_.collected_.push_back(s.value);
    }
    [[gnu::always_inline]] bool reduce(AggregationName name) {
        const auto mark = static_cast<std::size_t>(stack_[--top_].value);
        std::vector<double>& values = tree_.collected_;
        const EvalResult r = reduce_numbers(name, std::span<double>(values).subspan(mark)).as_eval_result();
        values.resize(mark);
        return push_or_fail(r);
    }

    // An aggregation of all the nodes of a name, kept by the evaluation
    // for its later readers (take_reduced).
    bool reduce_many(const Step* collect_step, AggregationName name) {
        const std::span<const NodePtr> targets(payload<const NodePtr*>(collect_step), collect_step->count);
        const Reductions::Key key{targets.data(), d_, static_cast<int>(name)};
        return push_or_fail(tree_.take_reduced(key, targets, uniform_, true, [&] {
            const std::size_t mark = tree_.collected_.size();
            EvalResult first_error;
            for (const NodePtr target : targets) {
                collect(tree_.read(target, d_).as_own(), first_error);
                note_read(target);
            }
            if (first_error.is_error()) return first_error;
            std::vector<double>& values = tree_.collected_;
            const EvalResult result = reduce_numbers(name, std::span<double>(values).subspan(mark)).as_eval_result();
            values.resize(mark);
            return result;
        }).result);
    }

    // -- Reading other cells
    [[gnu::always_inline]] void note_read(NodePtr target) { uniform_ &= tree_.values_.uniform(target); }
    [[gnu::always_inline]] bool read_one(NodePtr target) {
        const EvalResult r = tree_.read(target, d_);
        note_read(target);
        if (r.is_error()) return fail(EvalError::Ref);
        push_result(r);
        return true;
    }
    [[gnu::always_inline]] bool read_many(const Step* step) {
        read_all({payload<const NodePtr*>(step), step->count});
        return fail(EvalError::Many);
    }
    // Reads every one of `targets` for its effects alone (evaluations on
    // demand, in order), as a reference that designates several nodes where
    // one is needed does: once all are final, reading them again has none,
    // and a name that every department reads so would cost the square of
    // the departments.
    void read_all(std::span<const NodePtr> targets) {
        auto read = [&] {
            for (const NodePtr target : targets) {
                tree_.read(target, d_);
                note_read(target);
            }
            return EvalResult::error(EvalError::Many);
        };
        if (targets.size() < Reductions::kFrom) {
            read();
        } else {
            tree_.take_reduced({targets.data(), d_, Reductions::kReadAll}, targets, uniform_, true, read);
        }
    }
    [[gnu::always_inline]] bool collect_many(const Step* step) {
        const auto* targets = payload<const NodePtr*>(step);
        EvalResult first_error;
        for (std::uint32_t i = 0; i < step->count; ++i) {
            collect(tree_.read(targets[i], d_).as_own(), first_error);
            note_read(targets[i]);
        }
        return collected(first_error);
    }
    // children and right: one picked by position, all read to fail with
    // MANY!, or all collected.
    [[gnu::always_inline]] bool listed(const Step& step) {
        const bool children = step.op <= StepOp::CollectChildren;
        const auto use = static_cast<Listed>(static_cast<int>(step.op) -
                                             static_cast<int>(children ? StepOp::Children : StepOp::Right));
        EvalResult picked = EvalResult::error(EvalError::Ref);
        EvalResult first_error;
        std::size_t position = 0;
        // Inlined as the steps are: a call per value read would cost.
        auto take = [&](const EvalResult& r) __attribute__((always_inline)) {
            ++position;
            if (use == Listed::Pick && position == step.count) picked = r;
            if (use == Listed::Collect) collect(r, first_error);
        };
        if (children) {
            tree_.read_children(n_, d_, take);
            if (uniform_) uniform_ = tree_.children_uniform(n_);
        } else if (!read_right(use, step.count, picked, take)) {
            // A single formula has no later dimensions: its right is a REF!.
            return fail(use == Listed::Many ? EvalError::Many : EvalError::Ref);
        }
        if (use == Listed::Many) return fail(EvalError::Many);
        if (use == Listed::Collect) return collected(first_error);
        return push_or_fail(picked);
    }
    template <class Take>
    [[gnu::always_inline]] bool read_right(Listed use, std::uint32_t index, EvalResult& picked, Take& take) {
        switch (use) {
            case Listed::Pick: return tree_.read_right_at(n_, d_, index, picked);
            case Listed::Many: return tree_.walk_right(n_, d_);
            case Listed::Collect: break;
        }
        return tree_.read_right(n_, d_, take);
    }
    // total and ratio: the designated nodes in dimension 0 first, all of
    // them, then (ratio) all of them in this dimension, of which only one may
    // be meant.
    [[gnu::always_inline]] bool modifier(const Step* step) {
        if (step->count == 0) return fail(EvalError::Ref);
        const auto* targets = payload<const NodePtr*>(step);
        double total = -0.0;
        if (!total_of(targets, step->count, total)) return false;
        if (step->op == StepOp::Total) {
            push(total);
            return true;
        }
        if (total == 0) return fail(EvalError::Value);
        if (step->count > 1) {
            read_all({targets, step->count});
            return fail(EvalError::Many);
        }
        const EvalResult now = tree_.read(targets[0], d_).as_own();
        note_read(targets[0]);
        if (now.is_error()) return fail(now.error_kind());
        push(now.is_number() ? now.value() / total : 0.0);
        return true;
    }
    [[gnu::always_inline]] bool total_of(const NodePtr* targets, std::uint32_t count, double& total) {
        if (count < Reductions::kFrom) return add_up(targets, count, total);
        const Reductions::Key key{targets, 0, EvalContext::kTotalOf};
        const EvalResult kept = tree_.take_reduced(key, {targets, count}, uniform_, false, [&] {
            return add_up(targets, count, total) ? EvalResult::number(total) : result_;
        }).result;
        if (kept.is_error()) return fail(kept.error_kind());
        total = kept.value();
        return true;
    }
    [[gnu::always_inline]] bool add_up(const NodePtr* targets, std::uint32_t count, double& total) {
        EvalResult first_error;
        for (std::uint32_t i = 0; i < count; ++i) {
            // Read in dimension 0 whatever this one, so the same in every
            // one: unless the node is being evaluated further out, whose
            // result is not yet what later dimensions will read.
            if (tree_.in_progress(targets[i], 0)) uniform_ = false;
            const EvalResult r = tree_.read(targets[i], 0).as_own();
            if (r.is_error() && !first_error.is_error()) first_error = r;
            if (r.is_number() && !first_error.is_error()) total += r.value();
        }
        return collected(first_error);
    }

    // -- Arithmetic and functions
    [[gnu::always_inline]] void negate() {
        Slot& s = stack_[top_ - 1];
        s = {s.empty ? -0.0 : -s.value, false};
    }
    [[gnu::always_inline]] void add_or_power(StepOp op) {
        const double b = pop_number();
        const double a = pop_number();
        push(op == StepOp::Add ? a + b : op == StepOp::Subtract ? a - b : std::pow(a, b));
    }
    [[gnu::always_inline]] bool multiply(StepOp op) {
        const double b = pop_number();
        double a = pop_number();
        const MulOperator how = op == StepOp::Multiply ? MulOperator::Multiply
                                : op == StepOp::Divide ? MulOperator::Divide
                                                       : MulOperator::Modulo;
        if (!multiply_step(how, a, b)) return fail(EvalError::Value);
        push(a);
        return true;
    }
    [[gnu::always_inline]] bool call(const Step& step) {
        const bool two = step.count == 2;
        const bool second_empty = !two || stack_[top_ - 1].empty;
        const double y = two ? pop_number() : 0.0;
        const double x = pop_number();
        return push_or_fail(apply_function(step.function(), x, two, second_empty, y).as_eval_result());
    }
    // A piece of syntax tree left to the evaluator: its value pushed, or
    // (CollectEvaluated) every value it stands for collected.
    [[gnu::always_inline]] bool evaluated(const Step* step) {
        const EvalNote note = evaluate(*payload<const UnaryExpression*>(step), TreeContext(tree_, n_, d_, uniform_));
        if (step->op == StepOp::Evaluate) return push_or_fail(note.as_eval_result());
        EvalResult first_error;
        if (note.is_many()) {
            for (const EvalResult& r : note.list()) collect(r, first_error);
        } else {
            collect(note.single(), first_error);
        }
        return collected(first_error);
    }

    TreeEvaluation& tree_;
    const NodePtr n_;
    const std::size_t d_;
    const std::size_t collected_base_;
    Slot stack_[kProgramStack];
    std::size_t top_ = 0;  // values in stack_
    EvalResult result_;
    // Whether the result is the same in every dimension: true while every
    // cell read (in this dimension) holds one result in all dimensions, and
    // total's nodes (read in dimension 0) were none in progress. Such reads
    // start no evaluation, and read again in another dimension give the same.
    bool uniform_ = true;
};

// Kept out of compute(), which every nested evaluation passes through: the
// machine's stack then lives only in the frames that run steps.
[[gnu::noinline]] EvalResult TreeEvaluation::run_program(const Step* steps, NodePtr n, std::size_t d,
                                                         bool& uniform) {
    Machine machine(*this, n, d);
    const EvalResult result = machine.run(steps);
    uniform = machine.uniform();
    return result;
}

// -- TreeContext --------------------------------------------------------------

ResultList TreeContext::read_named(std::string_view name, Index index, bool across) const {
    const std::size_t dimension = across ? 0 : dimension_;
    std::span<const NodePtr> matches = tree_.find(name);
    if (matches.empty()) return ref_error();
    if (index) {
        if (*index == 0 || *index > matches.size()) return ref_error();
        matches = matches.subspan(*index - 1, 1);
    }
    ResultList out;
    out.reserve(matches.size());
    // `matches` views the name index, which nested evaluations only read.
    bool settled = false;
    for (const NodePtr n : matches) {
        // As in the machine: read in dimension 0, a node must not be in
        // progress; read in this one, it must hold one result everywhere.
        if (across && tree_.in_progress(n, 0)) uniform_ = false;
        const EvalResult r = tree_.read(n, dimension).as_own();
        if (!across) uniform_ = uniform_ && tree_.memo().uniform(n);
        if (settled) continue;  // read all the same: its evaluation has its turn now
        if (r.is_error() && matches.size() > 1) {
            out = settled_list(out, r);
            settled = true;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

EvalResult TreeContext::reduce_named(std::string_view name, bool across, int how, Reduce reduce) const {
    const std::span<const NodePtr> targets = tree_.find(name);
    if (targets.size() < Reductions::kFrom) return EvalContext::reduce_named(name, across, how, reduce);
    const Reductions::Key key{targets.data(), across ? 0 : dimension_, TreeEvaluation::kEvaluated + how};
    return tree_.take_reduced(key, targets, uniform_, !across, [&] {
        return reduce(how, read_named(name, {}, across));
    }).result;
}

bool TreeContext::kept_reference(std::string_view name, EvalNote& out) const {
    const std::span<const NodePtr> targets = tree_.find(name);
    if (targets.size() < Reductions::kFrom) return false;
    const Reductions::Key key{targets.data(), dimension_, TreeEvaluation::kEvaluated + Reductions::kListed};
    EvalNote::List list;
    const Reductions::Kept kept = tree_.take_reduced(key, targets, uniform_, true, [&] {
        list = EvalNote::many(read_named(name, {}, false).to_vector()).shared_list();
        return EvalResult::error(EvalError::Many);
    }, &list);
    out = EvalNote::many_shared(list != nullptr ? std::move(list) : tree_.kept_list(kept));
    return true;
}

ResultList TreeContext::get_reference_value(std::string_view name,
                                                         Index index) const {
    return read_named(name, index, false);
}

ResultList TreeContext::get_children_values() const {
    ResultList out;
    tree_.read_children(node_, dimension_, [&](const EvalResult& r) { out.push_back(r); });
    if (uniform_) uniform_ = tree_.children_uniform(node_);
    return out;
}

ResultList TreeContext::get_right_values() const {
    ResultList out;
    if (!tree_.read_right(node_, dimension_, [&](const EvalResult& r) { out.push_back(r); })) return ref_error();
    uniform_ = false;
    return out;
}

EvalNote TreeContext::get_right_value(std::size_t index) const {
    EvalResult picked;
    if (!tree_.read_right_at(node_, dimension_, index, picked)) return EvalResult::error(EvalError::Ref);
    uniform_ = false;
    return picked;
}

EvalResult TreeContext::get_first_right_value() const {
    if (!tree_.walk_right(node_, dimension_)) return EvalResult::error(EvalError::Ref);
    uniform_ = false;
    // Every later dimension is evaluated by now: reading stops at the first
    // that holds something, where the whole list would cost a series of
    // coalesce(right) the square of its length.
    for (std::size_t k = dimension_ + 1; k < tree_.formulas().length(node_); ++k) {
        const EvalResult r = tree_.read(node_, k);
        if (!r.is_empty()) return r;
    }
    return EvalResult::empty();
}

ResultList TreeContext::get_cross_dimensional_values(std::string_view name,
                                                                  Index index) const {
    return read_named(name, index, true);
}

}  // namespace morvax
