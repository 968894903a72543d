// The tree functions of Node: the name search, the dimension count, and the
// evaluation of every formula of a tree in every dimension, on demand and
// memoised.
//
// One evaluation lays the tree out in pre-order once; a node's position in
// that order (NodePtr) is its identity for the length of the evaluation and
// indexes every per-node table, so probing the memo table, the evaluation
// stack and the name index costs no hashing of addresses and no tree walk.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "eval/flat_tree.hpp"
#include "eval/interrupt.hpp"
#include "eval/program.hpp"
#include "eval/stack_segments.hpp"
#include "eval/text_ids.hpp"
#include "eval/types.hpp"
#include "parser/ast.hpp"

namespace morvax {

// The visible nodes of `start`'s subtree named exactly `name`, in pre-order.
// The children of a hidden node are still searched.
std::vector<const Node*> find_all_nodes_by_name(const Node& start, std::string_view name);

// The longest formula list of the subtree; a single formula counts 1.
std::size_t get_max_dimensions(const Node& node);

// Evaluates every node of the tree in every dimension and stores the results
// in the `value` fields: the whole of a tree evaluation.
void evaluate_tree_values(Node& root);

// A node's identity during one tree evaluation: its position in pre-order.
using NodePtr = std::uint32_t;

// The tree in pre-order, with the visible nodes of each name.
class TreeIndex {
public:
    // Takes the tree's names.
    explicit TreeIndex(FlatTree& tree);
    // Leaves the tree its names: the index keeps a copy of them.
    explicit TreeIndex(const FlatTree& tree);

    std::size_t size() const { return end_.size(); }
    // Children of n in order: the first is n + 1, each next one starts where
    // the previous one's subtree ends.
    NodePtr subtree_end(NodePtr n) const { return end_[n]; }
    // Visible nodes named `name`, in pre-order.
    std::span<const NodePtr> find(std::string_view name) const;

private:
    void index(const FlatTree& tree);
    // group_of: each node's name group, TextIds::kNone when hidden; counts:
    // the visible nodes of each group.
    void index_names(const std::vector<std::uint32_t>& group_of, const std::vector<std::uint32_t>& counts);

    std::vector<NodePtr> end_;
    TextIds groups_;  // name -> group
    std::vector<std::uint32_t> group_start_;  // group g is named_[start[g], start[g + 1])
    std::vector<NodePtr> named_;
};

// The memo table: per node an AnyDim<EvalState>, stored compactly.  A single
// entry remembers in which dimensions it has been evaluated and answers only
// those; when a differing result turns it into the list form, those
// dimensions keep the result they had.
//
// The evaluation sweeps the tree once per dimension, so list slots are laid
// out dimension by dimension (slot of n in d at d * nodes + n) whenever room
// for every node in every dimension is not far beyond what the formulas ask:
// one sweep then reads one compact stretch of memory.  Otherwise each list
// entry gets its own run of slots as it takes the list form.
class MemoTable {
public:
    // `lists`: how many entries are expected in the list form, to size the
    // slots; `formula_slots`: how many formula texts the tree holds.
    MemoTable(std::size_t nodes, std::size_t dimensions, std::size_t lists, std::size_t formula_slots);

    std::optional<EvalResult> get_value(NodePtr n, std::size_t d) const;
    // `list_formula`: n's formula is a list, so a new entry takes the list form.
    void set_value(NodePtr n, std::size_t d, EvalResult r, bool list_formula);
    // Whether n has a result in every dimension.
    bool complete(NodePtr n) const { return done_[n] == dims_; }
    // The node's results for save_values; nothing when it was never set.
    std::optional<AnyDim<EvalResult>> results(NodePtr n) const;

    // The same without building it: Unset when results(n) is nothing, a
    // single result_at(n, 0), or dimensions() results result_at(n, k).
    enum class Shape : std::uint8_t { Unset, Single, List };
    Shape shape(NodePtr n) const;
    // The single result, or the one in list slot k (Empty while Pending).
    EvalResult result_at(NodePtr n, std::size_t k) const;
    std::size_t dimensions() const { return dims_; }

private:
    enum class Form : std::uint8_t { None, Single, List };
    // A slot's result in 8 bytes, all zero while Pending: a sweep reads half
    // the memory the separate fields took. A number keeps its double's bits
    // (every NaN with its sign and payload: the median's total order tells
    // them apart). The other results take NaN patterns that arithmetic never
    // makes, signalling ones, and all are turned by kTurn, itself such a
    // pattern, so that no result is stored as zero.
    struct Packed {
        std::uint64_t stored = 0;

        static constexpr std::uint64_t kTurn = 0x7FF2'0000'0000'0000u;
        static constexpr std::uint64_t kTag = 0x7FF4'0000'0000'0000u;  // | kind << 8 | error
        static constexpr std::uint64_t kTagMask = 0xFFFF'0000'0000'0000u;
        static constexpr std::uint64_t kQuiet = 0x0008'0000'0000'0000u;

        static Packed of(const EvalResult& r) {
            std::uint64_t bits;
            if (r.is_number()) {
                bits = std::bit_cast<std::uint64_t>(r.value());
                // Only a signalling NaN could collide with the patterns, and
                // arithmetic quiets those; quiet it here all the same.
                if (r.value() != r.value()) bits |= kQuiet;
            } else {
                bits = kTag | std::uint64_t{static_cast<std::uint8_t>(r.kind())} << 8 |
                       static_cast<std::uint8_t>(r.error_kind());
            }
            return {bits ^ kTurn};
        }
        bool set() const { return stored != 0; }
        EvalResult result() const {
            const std::uint64_t bits = stored ^ kTurn;
            if ((bits & kTagMask) != kTag) return EvalResult::number(std::bit_cast<double>(bits));
            return EvalResult::from_parts(static_cast<EvalResult::Kind>((bits >> 8) & 0xFF), 0,
                                          static_cast<EvalError>(bits & 0xFF));
        }
    };
    struct Entry {
        double value = 0;              // Single: the result's fields
        std::uint64_t evaluated = 0;   // Single: a bit per dimension below 64
        std::uint32_t list = 0;        // List, separate runs: first slot in slots_
        EvalResult::Kind kind = EvalResult::Kind::Empty;
        EvalError error = EvalError::Error;
        Form form = Form::None;

        EvalResult single() const { return EvalResult::from_parts(kind, value, error); }
        void set_single(const EvalResult& r) {
            value = r.value();
            kind = r.kind();
            error = r.error_kind();
        }
    };
    struct SlotsDeleter {
        void operator()(Packed* p) const;
    };

    static constexpr std::size_t kInline = 64;  // dimensions whose bits live in the entry
    std::size_t bit(NodePtr n, std::size_t d) const { return n * (dims_ - kInline) + d - kInline; }
    std::size_t slot(const Entry& e, NodePtr n, std::size_t d) const {
        return by_dimension_ ? d * nodes_ + n : e.list + d;
    }
    bool evaluated_in(NodePtr n, std::size_t d) const;
    bool evaluated_elsewhere(NodePtr n, std::size_t d) const;
    void mark_evaluated(NodePtr n, std::size_t d);
    void to_list(NodePtr n);

    std::size_t dims_;
    std::size_t nodes_;
    bool by_dimension_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> done_;  // per node: the dimensions that have a result
    std::unique_ptr<Packed[], SlotsDeleter> slots_;  // zeroed: every slot Pending
    std::size_t slots_used_ = 0;                     // separate runs: slots handed out
    std::size_t slots_capacity_ = 0;
    std::vector<std::uint64_t> evaluated_;  // Single entries: the bits of dimensions from 64 on
};

// The (node, dimension) pairs being evaluated right now: a bit for each
// pair, set while its evaluation runs.
class EvalStack {
public:
    EvalStack(std::size_t nodes, std::size_t dimensions)
        : dims_(dimensions), on_stack_((nodes * dimensions + 63) / 64) {}
    void push(NodePtr n, std::size_t d) { on_stack_[bit(n, d) / 64] |= mask(n, d); }
    void pop(NodePtr n, std::size_t d) { on_stack_[bit(n, d) / 64] &= ~mask(n, d); }
    bool is_circular(NodePtr n, std::size_t d) const {
        return d < dims_ && (on_stack_[bit(n, d) / 64] & mask(n, d)) != 0;
    }

private:
    std::size_t bit(NodePtr n, std::size_t d) const { return n * dims_ + d; }
    std::uint64_t mask(NodePtr n, std::size_t d) const { return std::uint64_t{1} << (bit(n, d) % 64); }
    std::size_t dims_;
    std::vector<std::uint64_t> on_stack_;
};

// What a node evaluates in one dimension: the steps of a compiled formula
// (null when its text did not parse), the syntax tree of one left to the
// evaluator, a plain number, held in the table without any formula around
// it, or Empty. Steps and syntax trees say whether their formula nests so
// deeply that evaluating it needs a stack segment.
class FormulaSlot {
public:
    FormulaSlot() = default;
    static FormulaSlot steps(const Step* steps, bool deep = false) {
        return FormulaSlot(reinterpret_cast<std::uintptr_t>(steps) | (deep && steps != nullptr ? kDeep : 0));
    }
    static FormulaSlot syntax(const Value* value, bool deep = false) {
        return FormulaSlot(reinterpret_cast<std::uintptr_t>(value) | kSyntax | (deep ? kDeep : 0));
    }
    static FormulaSlot number(std::size_t index) { return FormulaSlot(index << 1 | 1); }
    // An empty text (or only whitespace): Empty in every dimension.
    static FormulaSlot empty() { return FormulaSlot(kEmpty); }

    bool is_number() const { return (bits_ & 1) != 0; }
    bool is_empty() const { return bits_ == kEmpty; }
    bool is_syntax() const { return (bits_ & (kSyntax | 1)) == kSyntax; }
    // A formula to run, its steps or its syntax tree: something that may read
    // other cells.
    bool is_formula() const { return !is_number() && !is_empty() && (bits_ & ~kTags) != 0; }
    // Steps or a syntax tree whose evaluation needs a stack segment.
    bool is_deep() const { return (bits_ & (kDeep | 1)) == kDeep && bits_ != kEmpty; }
    std::size_t number_index() const { return bits_ >> 1; }
    const Step* steps() const { return reinterpret_cast<const Step*>(bits_ & ~kTags); }
    const Value* syntax() const { return reinterpret_cast<const Value*>(bits_ & ~kTags); }
    bool operator==(const FormulaSlot&) const = default;

private:
    // Steps and syntax trees lie at addresses aligned to 8: the low bits tell
    // the kinds apart. Empty is the deep mark alone, which no address has.
    static constexpr std::uintptr_t kDeep = 2;
    static constexpr std::uintptr_t kSyntax = 4;
    static constexpr std::uintptr_t kTags = 7;
    static constexpr std::uintptr_t kEmpty = kDeep;
    explicit FormulaSlot(std::uintptr_t bits) : bits_(bits) {}
    std::uintptr_t bits_ = 0;
};

// Every formula of the tree parsed and compiled once, identical texts once in
// all; texts that are plain numbers are converted, not parsed.
class FormulaTable {
public:
    // Stops parsing when `interrupt` says so: the formulas left are then
    // taken as ones that did not parse. `flat` is emptied once read: its texts
    // are gone before the evaluation's own tables are made.
    FormulaTable(FlatTree&& flat, const TreeIndex& tree, Interrupt& interrupt);
    FormulaTable(const FormulaTable&) = delete;
    FormulaTable& operator=(const FormulaTable&) = delete;

    // What n evaluates in dimension d: its single formula in every dimension,
    // or list entry d; `covered` is false past the end of a list.
    FormulaSlot formula_in(NodePtr n, std::size_t d, bool& covered) const {
        if (!grid_.empty() && d < max_length_) {
            const std::uint32_t id = grid_[d * nodes_ + n];
            covered = id != kUncovered;
            return covered ? by_id_[id] : FormulaSlot();
        }
        return formula(n, list_[n] ? d : 0, covered);
    }
    double number(FormulaSlot slot) const { return numbers_[slot.number_index()]; }
    // Asks the processor to start loading the steps n evaluates in d, which
    // are about to run.
    void prefetch(NodePtr n, std::size_t d) const {
        bool covered = false;
        const FormulaSlot slot = formula_in(n, d, covered);
        if (!slot.is_formula() || slot.is_syntax()) return;
        const auto* steps = reinterpret_cast<const char*>(slot.steps());
        for (int line = 0; line < 2; ++line) __builtin_prefetch(steps + 64 * line);
    }
    // Gives back the code, the syntax trees and the grid once evaluation is
    // done: only is_list() and length() serve from then on.
    void release_code();
    // Distinct formula texts parsed.
    std::size_t distinct() const { return distinct_; }
    // Nodes whose formula is a list.
    std::size_t lists() const { return lists_; }
    // Formula texts in all, counting each list entry.
    std::size_t slots() const { return slot_count_; }
    // The longest formula list; a single formula counts 1 (get_max_dimensions).
    std::size_t max_length() const { return max_length_; }
    // Whether n's formula is a list, and its length (1 for a single formula):
    // asked on every evaluation, so kept here rather than read off the Node.
    bool is_list(NodePtr n) const { return list_[n] != 0; }
    std::size_t length(NodePtr n) const { return first_slot_[n + 1] - first_slot_[n]; }

private:
    // Slot d of n's formula. `covered` is false when n's formula list has no
    // slot d.
    FormulaSlot formula(NodePtr n, std::size_t d, bool& covered) const;
    void prepare(const TextIds& texts, const std::vector<std::uint32_t>& first_dimension, const TreeIndex& tree,
                 Interrupt& interrupt);
    FormulaSlot compile(std::string_view text, const TreeIndex& tree, std::vector<Step>& steps,
                        StackSegments& segments);
    void lay_out_grid(const FlatTree& flat);

    // The grid's mark for "past the end of a list".
    static constexpr std::uint32_t kUncovered = 0xFFFFFFFFu;

    Arena arena_;  // the syntax trees and their roots
    // The steps of the compiled formulas, in the order of the first dimension
    // that needs them: one sweep reads one dense stretch.
    Arena code_;
    std::size_t distinct_ = 0;
    std::size_t lists_ = 0;
    std::size_t max_length_ = 0;
    std::vector<std::uint32_t> first_slot_;  // node n's slots: [first_slot_[n], first_slot_[n + 1])
    std::size_t slot_count_ = 0;
    std::vector<FormulaSlot> by_id_;         // per distinct text: what it evaluates
    std::vector<std::uint32_t> slot_ids_;    // per slot: its text's id; empty with the grid
    std::vector<double> numbers_;            // the plain numbers, one per distinct text that is one
    std::vector<std::uint8_t> list_;         // per node: its formula is a list
    std::size_t nodes_ = 0;
    // The text id of formula_in for every node in every dimension, dimension
    // by dimension (n in d at d * nodes_ + n), when that costs at most four
    // times the slots: one sweep of the evaluation then reads it in order,
    // and it takes the place of slot_ids_. Else empty.
    std::vector<std::uint32_t> grid_;
};

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
    // results are written: nothing but memo() and the shape of the tree and
    // its formulas serve from then on.
    void finish() { formulas_.release_code(); }
    // Evaluates n in d unless that is done; references are read on demand.
    void evaluate_dimension(NodePtr n, std::size_t d);
    // A node's value in d as a formula reading it sees it (before as_own):
    // memoised, REF! while it is being evaluated, else evaluated now.
    EvalResult read(NodePtr n, std::size_t d);
    // Copies every node's results into its Node's `value` field.
    void save_values();

    // Reads every child of n in dimension d, in order, each as a formula sees
    // it (as_own), giving each to `take`.
    template <class Take>
    void read_children(NodePtr n, std::size_t d, Take&& take) {
        const NodePtr end = tree_.subtree_end(n);
        for (NodePtr child = n + 1; child < end;) {
            const NodePtr next = tree_.subtree_end(child);
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
    bool read_right(NodePtr n, std::size_t d, Take&& take) {
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
    // How many later dimensions the right references have walked over (for
    // tests and measurements).
    std::size_t right_steps() const { return right_steps_; }
    const StackSegments& segments() const { return segments_; }

private:
    void store_constants();
    // The stack n's evaluation in d needs: little, unless its formula nests
    // deeply.
    std::size_t stack_need(NodePtr n, std::size_t d) const;
    EvalResult compute(NodePtr n, std::size_t d);
    // evaluate_dimension once it is known not to be done; returns the result
    // stored, which get_value gives from then on.
    EvalResult run_dimension(NodePtr n, std::size_t d);
    // Runs a compiled formula as n's in dimension d.
    EvalResult run_program(const Step* steps, NodePtr n, std::size_t d);

    Interrupt never_;  // the interrupt when none is given
    Interrupt& interrupt_;
    std::vector<Node*> nodes_;  // by position; empty when the tree came from elsewhere
    TreeIndex tree_;
    FormulaTable formulas_;
    std::size_t dims_;  // after formulas_, which counts them
    MemoTable values_;
    EvalStack stack_;
    StackSegments segments_;
    // Per node, once a right reference was read: every dimension from this
    // one to the end of its formula list is evaluated (kNone: not known).
    std::vector<std::uint32_t> right_evaluated_from_;
    std::size_t right_steps_ = 0;
    // What the aggregations being computed have collected so far, innermost
    // last: shared by the nested evaluations, each of which takes back what
    // it added before it returns.
    std::vector<double> collected_;
};

inline bool MemoTable::evaluated_in(NodePtr n, std::size_t d) const {
    if (d < kInline) return (entries_[n].evaluated >> d) & 1;
    const std::size_t i = bit(n, d);
    return (evaluated_[i / 64] >> (i % 64)) & 1;
}

inline std::optional<EvalResult> MemoTable::get_value(NodePtr n, std::size_t d) const {
    const Entry& e = entries_[n];
    switch (e.form) {
        case Form::None: return std::nullopt;
        case Form::Single:
            if (d < dims_ && evaluated_in(n, d)) return e.single();
            return std::nullopt;
        case Form::List: {
            if (d >= dims_) return std::nullopt;
            const Packed& s = slots_[slot(e, n, d)];
            if (!s.set()) return std::nullopt;
            return s.result();
        }
    }
    return std::nullopt;
}

}  // namespace morvax
