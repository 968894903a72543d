// The tree functions of Node: the name search, the dimension count, and the
// evaluation of every formula of a tree in every dimension, on demand and
// memoised.
//
// One evaluation lays the tree out in pre-order once; a node's position in
// that order (NodePtr) is its identity for the length of the evaluation and
// indexes every per-node table, so probing the memo table, the evaluation
// stack and the name index costs no hashing of addresses and no tree walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "eval/stack_segments.hpp"
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
    explicit TreeIndex(Node& root);

    std::size_t size() const { return nodes_.size(); }
    Node& node(NodePtr n) const { return *nodes_[n]; }
    // Children of n in order: the first is n + 1, each next one starts where
    // the previous one's subtree ends.
    NodePtr subtree_end(NodePtr n) const { return end_[n]; }
    // Visible nodes named `name`, in pre-order.
    std::span<const NodePtr> find(std::string_view name) const;

private:
    void index_names();

    std::vector<Node*> nodes_;
    std::vector<NodePtr> end_;
    std::unordered_map<std::string_view, std::uint32_t> groups_;  // name -> group
    std::vector<std::uint32_t> group_start_;  // group g is named_[start[g], start[g + 1])
    std::vector<NodePtr> named_;
};

// The memo table: per node an AnyDim<EvalState>, stored compactly.  A single
// entry remembers in which dimensions it has been evaluated and answers only
// those; when a differing result turns it into the list form, those
// dimensions keep the result they had.
class MemoTable {
public:
    // `lists`: how many entries are expected in the list form, to size the slots.
    MemoTable(std::size_t nodes, std::size_t dimensions, std::size_t lists);

    std::optional<EvalResult> get_value(NodePtr n, std::size_t d) const;
    // `list_formula`: n's formula is a list, so a new entry takes the list form.
    void set_value(NodePtr n, std::size_t d, EvalResult r, bool list_formula);
    // The node's results for save_values; nothing when it was never set.
    std::optional<AnyDim<EvalResult>> results(NodePtr n) const;

private:
    enum class Form : std::uint8_t { None, Single, List };
    struct Entry {
        EvalResult single;             // Single: the result
        std::uint64_t evaluated = 0;   // Single: a bit per dimension below 64
        std::uint32_t list = 0;        // List: first slot in slots_
        Form form = Form::None;
    };
    // One EvalState, compactly: a Pending slot holds nothing.
    struct Slot {
        EvalResult result;
        bool pending = true;
    };

    static constexpr std::size_t kInline = 64;  // dimensions whose bits live in the entry
    std::size_t bit(NodePtr n, std::size_t d) const { return n * (dims_ - kInline) + d - kInline; }
    bool evaluated_in(NodePtr n, std::size_t d) const;
    bool evaluated_elsewhere(NodePtr n, std::size_t d) const;
    void mark_evaluated(NodePtr n, std::size_t d);
    void to_list(NodePtr n);

    std::size_t dims_;
    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
    std::vector<std::uint64_t> evaluated_;  // Single entries: the bits of dimensions from 64 on
};

// The (node, dimension) pairs being evaluated right now, outermost first.
class EvalStack {
public:
    EvalStack(std::size_t nodes, std::size_t dimensions);
    void push(NodePtr n, std::size_t d);
    void pop();
    bool is_circular(NodePtr n, std::size_t d) const;
    bool empty() const { return pairs_.empty(); }

private:
    std::size_t bit(NodePtr n, std::size_t d) const { return n * dims_ + d; }
    std::size_t dims_;
    std::vector<std::pair<NodePtr, std::uint32_t>> pairs_;
    std::vector<std::uint64_t> on_stack_;
};

// Every formula of the tree parsed once, identical texts once in all.
class FormulaTable {
public:
    explicit FormulaTable(const TreeIndex& tree);
    FormulaTable(const FormulaTable&) = delete;
    FormulaTable& operator=(const FormulaTable&) = delete;

    // The parsed formula of n in dimension d; null when it did not parse.
    // `covered` is false when n's formula list has no slot d.
    const Value* formula(NodePtr n, std::size_t d, bool& covered) const;
    std::size_t distinct() const { return distinct_; }
    // Nodes whose formula is a list.
    std::size_t lists() const { return lists_; }

private:
    Arena arena_;  // the syntax trees and their roots
    std::size_t distinct_ = 0;
    std::size_t lists_ = 0;
    std::vector<std::uint32_t> first_slot_;  // node n's slots: [first_slot_[n], first_slot_[n + 1])
    std::vector<const Value*> slots_;        // null: the text did not parse
};

// One tree evaluation: everything the nested contexts share.
class TreeEvaluation {
public:
    explicit TreeEvaluation(Node& root);

    // Every node in pre-order, all dimensions of a node before its children.
    void evaluate_all();
    // Evaluates n in d unless that is done; references are read on demand.
    void evaluate_dimension(NodePtr n, std::size_t d);
    // A node's value in d as a formula reading it sees it (before as_own):
    // memoised, REF! while it is being evaluated, else evaluated now.
    EvalResult read(NodePtr n, std::size_t d);
    // Copies every node's results into its `value` field.
    void save_values();

    const TreeIndex& tree() const { return tree_; }
    // TreeIndex::find, remembered per reference site: a name in a formula is a
    // view into its text, so the view's address identifies the site.
    std::span<const NodePtr> find(std::string_view name);
    std::size_t max_dimensions() const { return dims_; }
    const FormulaTable& formulas() const { return formulas_; }
    const StackSegments& segments() const { return segments_; }

private:
    EvalResult compute(NodePtr n, std::size_t d);
    // evaluate_dimension once it is known not to be done; returns the result
    // stored, which get_value gives from then on.
    EvalResult run_dimension(NodePtr n, std::size_t d);

    struct FoundName {
        const char* data = nullptr;
        std::size_t size = 0;
        std::span<const NodePtr> nodes;
    };

    TreeIndex tree_;
    std::vector<FoundName> found_;  // direct-mapped by the name's address
    std::size_t dims_;
    FormulaTable formulas_;
    MemoTable values_;
    EvalStack stack_;
    StackSegments segments_;
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
            if (d < dims_ && evaluated_in(n, d)) return e.single;
            return std::nullopt;
        case Form::List:
            if (d >= dims_ || slots_[e.list + d].pending) return std::nullopt;
            return slots_[e.list + d].result;
    }
    return std::nullopt;
}

}  // namespace morvax
