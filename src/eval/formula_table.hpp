// Every formula of a tree made ready to run once per evaluation: parsed and
// compiled into steps, identical texts once in all, plain numbers converted;
// and what each node runs in each dimension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "eval/flat_tree.hpp"
#include "eval/interrupt.hpp"
#include "eval/program.hpp"
#include "eval/stack_segments.hpp"
#include "eval/text_ids.hpp"
#include "eval/tree_index.hpp"
#include "parser/ast.hpp"

namespace morvax {

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
        // A single formula has one slot, asked for as slot 0 in every dimension.
        const std::size_t slot = list_[n] ? d : 0;
        const std::uint32_t first = first_slot_[n];
        covered = slot < first_slot_[n + 1] - first;
        return covered ? by_id_[slot_ids_[first + slot]] : FormulaSlot();
    }
    // Whether no entry of n's formula reads anything (numbers, empty texts,
    // texts that do not parse).
    bool reads_nothing(NodePtr n) const {
        for (std::uint32_t s = first_slot_[n]; s < first_slot_[n + 1]; ++s) {
            if (by_id_[slot_ids_[s]].is_formula()) return false;
        }
        return true;
    }
    double number(FormulaSlot slot) const { return numbers_[slot.number_index()]; }
    // The result of a slot that is no formula: a number, Empty (also past a
    // list's end, where `covered` is false), or a text that did not parse.
    EvalResult constant_result(FormulaSlot slot, bool covered) const {
        if (!covered || slot.is_empty()) return EvalResult::empty();
        if (slot.is_number()) return EvalResult::number(number(slot));
        return EvalResult::error(EvalError::Error);
    }
    // Asks the processor to start loading the steps n evaluates in d, which
    // are about to run. Always inlined: GCC drops the calls of a function
    // whose only effect is a prefetch.
    [[gnu::always_inline]] void prefetch(NodePtr n, std::size_t d) const {
        bool covered = false;
        const FormulaSlot slot = formula_in(n, d, covered);
        if (!slot.is_formula() || slot.is_syntax()) return;
        const auto* steps = reinterpret_cast<const char*>(slot.steps());
        for (int line = 0; line < 2; ++line) __builtin_prefetch(steps + 64 * line);
    }
    // Gives back the code and the syntax trees once evaluation is done: only
    // formula_in() for slots that are no formula, number(), is_list() and
    // length() serve from then on.
    void release_code();
    // Distinct formula texts parsed.
    std::size_t distinct() const { return distinct_; }
    // Nodes whose formula is a list.
    std::size_t lists() const { return lists_; }
    // The longest formula list; a single formula counts 1 (get_max_dimensions).
    std::size_t max_length() const { return max_length_; }
    // Whether n's formula is a list, and its length (1 for a single formula):
    // asked on every evaluation, so kept here rather than read off the Node.
    bool is_list(NodePtr n) const { return list_[n] != 0; }
    std::size_t length(NodePtr n) const { return first_slot_[n + 1] - first_slot_[n]; }

private:
    void prepare(const TextIds& texts, const TreeIndex& tree, Interrupt& interrupt);
    struct Preparing;
    FormulaSlot compile(std::string_view text, Preparing& preparing);
    // The steps copied into the code.
    Step* place(std::span<const Step> steps);

    Arena arena_;  // the syntax trees and their roots
    // The steps of the compiled formulas, in the order of the texts' first
    // places in pre-order: the sweep reads one dense stretch.
    Arena code_;
    std::size_t distinct_ = 0;
    std::size_t lists_ = 0;
    std::size_t max_length_ = 0;
    std::vector<std::uint32_t> first_slot_;  // node n's slots: [first_slot_[n], first_slot_[n + 1])
    std::vector<FormulaSlot> by_id_;         // per distinct text: what it evaluates
    std::vector<std::uint32_t> slot_ids_;    // per slot: its text's id
    std::vector<double> numbers_;            // the plain numbers, one per distinct text that is one
    std::vector<std::uint8_t> list_;         // per node: its formula is a list
    std::size_t nodes_ = 0;
};

}  // namespace morvax
