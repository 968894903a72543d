// The evaluation of every formula of a tree in every dimension, on demand
// and memoised: its tables, the order it sweeps the tree in, the machine that
// runs compiled formulas, and the context through which the evaluator reads
// the tree for the formulas left to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "eval/context.hpp"
#include "eval/flat_tree.hpp"
#include "eval/formula_table.hpp"
#include "eval/interrupt.hpp"
#include "eval/memo_table.hpp"
#include "eval/program.hpp"
#include "eval/reductions.hpp"
#include "eval/right_walks.hpp"
#include "eval/stack_segments.hpp"
#include "eval/tree_index.hpp"
#include "eval/types.hpp"

namespace morvax {

// Evaluates every node of the tree in every dimension and stores the results
// in the `value` fields: the whole of a tree evaluation.
void evaluate_tree_values(Node& root);

// One tree evaluation: everything the nested contexts share.
class TreeEvaluation {
public:
    // The tree of `root`, which must outlive the evaluation.
    explicit TreeEvaluation(Node& root);
    // A tree read from elsewhere (save_values has no Nodes to write to then).
    // Once `interrupt` says stop, the work ends early and its results mean
    // nothing; it must outlive the evaluation.
    explicit TreeEvaluation(FlatTree tree, Interrupt* interrupt = nullptr);

    // Every node in pre-order, all dimensions of a node before its children.
    void evaluate_all();
    // Whether the interrupt stopped the work.
    bool interrupted() const { return interrupt_.stopped(); }
    // Once evaluate_all is done, what only evaluating needs goes, before the
    // results are written: nothing but result_at(), memo() and the shape of
    // the tree and its formulas serve from then on.
    void finish() { formulas_.release_code(); }
    // Whether n's value is a list: its formula is one (as many results as
    // there are dimensions), or its single formula's results differ from
    // dimension to dimension. Else it is one result, or none when never
    // evaluated.
    bool value_is_list(NodePtr n) const {
        return formulas_.is_list(n) || values_.shape(n) == MemoTable::Shape::List;
    }
    // n's result in d once evaluate_all is done: stored, or a formula list's
    // entry that reads nothing (which is never stored).
    EvalResult result_at(NodePtr n, std::size_t d) const {
        EvalResult r;
        if (known(n, d, r)) return r;
        return EvalResult::empty();
    }
    // Evaluates n in d unless that is done; references are read on demand.
    void evaluate_dimension(NodePtr n, std::size_t d);
    // A node's value in d as a formula reading it sees it (before as_own):
    // memoised, REF! while it is being evaluated, else evaluated now. Most
    // reads find a stored result or a list's constant entry (a number the
    // model gives): those paths are inline.
    [[gnu::always_inline]] EvalResult read(NodePtr n, std::size_t d) {
        if (EvalResult r; known(n, d, r)) return r;
        return read_unstored(n, d);
    }
    // Copies every node's results into its Node's `value` field.
    void save_values();

    // Reads every child of n in dimension d, in order, each as a formula sees
    // it (as_own), giving each to `take`.
    template <class Take>
    [[gnu::always_inline]] void read_children(NodePtr n, std::size_t d, Take&& take) {
        const NodePtr end = tree_.subtree_end(n);
        // The stored results of the children a few ahead load while this one
        // is read: a large tree's results of an earlier dimension have left
        // the cache by the time a later dimension reads them.
        constexpr int kAhead = 4;
        NodePtr ahead = n + 1;
        for (int k = 0; k < kAhead && ahead < end; ++k, ahead = tree_.subtree_end(ahead)) values_.prefetch(ahead, d);
        for (NodePtr child = n + 1; child < end;) {
            const NodePtr next = tree_.subtree_end(child);
            if (ahead < end) {
                values_.prefetch(ahead, d);
                ahead = tree_.subtree_end(ahead);
            }
            // The next child's formula loads while this one is read.
            if (next < end) formulas_.prefetch(next, d);
            take(read(child, d).as_own());
            child = next;
        }
    }
    // Reads n's own later dimensions after d, in order, giving each to
    // `take` (their errors as they are); false, reading nothing, when n's
    // formula is single and so has no later dimensions.
    template <class Take>
    [[gnu::always_inline]] bool read_right(NodePtr n, std::size_t d, Take&& take) {
        if (!walk_right(n, d)) return false;
        for (std::size_t k = d + 1; k < formulas_.length(n); ++k) take(read(n, k));
        return true;
    }
    // The later dimension `index` (from 1) of n after d, as read_right would
    // give it (REF! past the end), after the same on-demand reads; false when
    // n's formula is single.
    bool read_right_at(NodePtr n, std::size_t d, std::size_t index, EvalResult& out);
    // Reads n's later dimensions after d in order, evaluating on demand what
    // is not yet: once all of them are, this is free (a series whose every
    // dimension reads the next would otherwise walk the rest of the series
    // from each).  False when n's formula is single.
    bool walk_right(NodePtr n, std::size_t d);

    const TreeIndex& tree() const { return tree_; }
    std::span<const NodePtr> find(std::string_view name) const { return tree_.find(name); }
    const FormulaTable& formulas() const { return formulas_; }
    const MemoTable& memo() const { return values_; }
    // Whether n's evaluation in d is in progress.
    bool in_progress(NodePtr n, std::size_t d) const { return stack_.is_circular(n, d); }
    // Whether every child of n holds one result in all dimensions.
    bool children_uniform(NodePtr n) const {
        const NodePtr end = tree_.subtree_end(n);
        for (NodePtr child = n + 1; child < end; child = tree_.subtree_end(child)) {
            if (!values_.uniform(child)) return false;
        }
        return true;
    }
    // How many later dimensions the right references have walked over (for
    // tests and measurements).
    std::size_t right_steps() const { return right_steps_; }
    const StackSegments& segments() const { return segments_; }

    // A name's reductions: see Reductions::take, made final as this
    // evaluation's stack, memo and interrupt tell. The compiled steps and the
    // evaluator keep theirs apart, the evaluator's `how` raised by kEvaluated.
    // `uniformity`: the answer's uniform mark comes from the targets' own.
    static constexpr int kEvaluated = 64;
    template <class Make>
    Reductions::Kept take_reduced(const Reductions::Key& key, std::span<const NodePtr> targets, bool& uniform,
                                  bool uniformity, Make&& make, const EvalNote::List* list = nullptr) {
        return reduced_.take(key, targets, uniform, {stack_, uniformity ? &values_ : nullptr, &interrupt_},
                             std::forward<Make>(make), list);
    }
    const EvalNote::List& kept_list(const Reductions::Kept& kept) const { return reduced_.list(kept); }

private:
    // Whether n's formula is a list whose entry in d reads nothing; `out`
    // gets that entry's result.
    //
    // Such entries (numbers, empty texts, texts that do not parse, the
    // dimensions past a list's end) cannot take part in a cycle, and a
    // list's results take the list form whatever their order: they are never
    // stored, but read from the formula table by whoever asks (a reader, the
    // sweep, the write-back). A single formula is stored: where it is first
    // evaluated decides its form.
    bool constant_entry(NodePtr n, std::size_t d, EvalResult& out) const {
        if (!formulas_.is_list(n)) return false;
        bool covered = false;
        const FormulaSlot slot = formulas_.formula_in(n, d, covered);
        if (slot.is_formula()) return false;
        out = formulas_.constant_result(slot, covered);
        return true;
    }
    // n's result in d when it is stored or a constant entry, into `out`:
    // inline in every read.
    [[gnu::always_inline]] bool known(NodePtr n, std::size_t d, EvalResult& out) const {
        return values_.find(n, d, out) || constant_entry(n, d, out);
    }
    bool constant_unread(NodePtr n) const;
    // read() of a result neither stored nor constant: a cycle, or an
    // evaluation now.
    EvalResult read_unstored(NodePtr n, std::size_t d);
    // The stack n's evaluation in d needs: little, unless its formula nests
    // deeply.
    std::size_t stack_need(NodePtr n, std::size_t d) const;
    // `uniform`: the result is the same in every dimension (see Machine).
    EvalResult compute(NodePtr n, std::size_t d, bool& uniform);
    // evaluate_dimension once it is known not to be done; returns the result
    // stored, which get_value gives from then on.
    EvalResult run_dimension(NodePtr n, std::size_t d);
    // run_dimension on a stack with room for it: here, or on a segment.
    // Inline in its two callers, which every on-demand evaluation passes.
    [[gnu::always_inline]] EvalResult run_where_it_fits(NodePtr n, std::size_t d);
    // Runs a compiled formula as n's in dimension d.
    EvalResult run_program(const Step* steps, NodePtr n, std::size_t d, bool& uniform);
    class Machine;  // one run of run_program

    Interrupt never_;  // the interrupt when none is given
    Interrupt& interrupt_;
    std::vector<Node*> nodes_;  // by position; empty when the tree came from elsewhere
    TreeIndex tree_;
    FormulaTable formulas_;
    std::size_t dims_;  // after formulas_, which counts them
    MemoTable values_;
    EvalStack stack_;
    StackSegments segments_;
    RightWalks right_walks_;
    std::size_t right_steps_ = 0;
    // What the aggregations being computed have collected so far, innermost
    // last: shared by the nested evaluations, each of which takes back what
    // it added before it returns.
    std::vector<double> collected_;

    Reductions reduced_;
};

// A formula placed at one node of a tree and in one dimension.  Made afresh
// for each formula evaluation; borrows the evaluation it belongs to.
class TreeContext final : public EvalContext {
public:
    // `uniform` is cleared when a read makes the formula's result depend on
    // the dimension (see TreeEvaluation::Machine).
    TreeContext(TreeEvaluation& tree, NodePtr node, std::size_t dimension, bool& uniform)
        : tree_(tree), node_(node), dimension_(dimension), uniform_(uniform) {}

    ResultList get_reference_value(std::string_view name,
                                                Index index) const override;
    ResultList get_children_values() const override;
    ResultList get_right_values() const override;
    EvalNote get_right_value(std::size_t index) const override;
    EvalResult get_first_right_value() const override;
    ResultList get_cross_dimensional_values(std::string_view name,
                                                         Index index) const override;
    EvalResult reduce_named(std::string_view name, bool across, int how, Reduce reduce) const override;
    bool kept_reference(std::string_view name, EvalNote& out) const override;

private:
    // The values of the nodes of `name` in this dimension, or `across` in
    // dimension 0.
    ResultList read_named(std::string_view name, Index index, bool across) const;

    TreeEvaluation& tree_;
    NodePtr node_;
    std::size_t dimension_;
    bool& uniform_;
};

}  // namespace morvax
