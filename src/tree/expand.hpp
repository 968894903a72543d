// Formula expansion: references to computed nodes are replaced, recursively,
// by those nodes' formulas until only references to input nodes remain.  It
// works on the token stream and copies all text outside the rewritten tokens
// as it is; nothing is evaluated.
//
// The expanded tree must compute what the tree computes, so a reference is
// replaced only where the inserted text means what the node's value means in
// its place; everywhere else it stays as written:
//  - a modifier's argument (`total(@X)`) is a node, not a value;
//  - a single formula serves every dimension, so it takes in only a text that
//    is the same in every dimension of the tree (a single formula, or a list
//    of equal entries covering them all, and so on for what that takes in);
//  - `children` and `right` mean the node they are written in, and a name
//    that several visible nodes carry is a list that makes its node an error
//    but may be summed elsewhere: a formula that keeps any of them stays in
//    its node;
//  - `children` becomes references only when each child has one that finds
//    exactly it, and bare `children` (a list) only as a whole aggregation
//    argument;
//  - an indexed reference is replaced only when its index picks the node;
//  - a formula that does not parse is an error where it stands: it is
//    neither rewritten nor inserted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "eval/flat_map.hpp"
#include "eval/names.hpp"
#include "eval/types.hpp"
#include "parser/ast.hpp"
#include "references/references.hpp"
#include "tree/reference_forms.hpp"
#include "eval/stack_segments.hpp"
#include "tree/text_budget.hpp"

namespace morvax {

// True when scanning `formula` gives at least one node-reference token
// (children and right references included); false for the empty text.
bool contains_references(std::string_view formula);

// Expands the formulas of one tree, keeping the state that all expansions of
// a call share: the name index and the expansion cache, whose first entry for
// a node and dimension is reused everywhere.
//
// References lead from formula to formula, along chains as long as the tree
// is large, so nested expansions are frames on an explicit stack rather than
// native recursion.  A frame expands one formula reference by reference; when
// a reference needs another node's formula expanded first, it pushes a frame
// for that and resumes where it stopped once that frame is done.
//
// Expansions are held as ropes: a finished expansion is a run of pieces, each
// a stretch of text that outlives the call or another expansion, shared rather
// than copied.  A chain of n references thus holds O(n) pieces, not the O(n^2)
// bytes of its texts, and only the texts a call returns are spelt out.
class Expander {
public:
    // Every text it spells out, and every piece it keeps, is charged to
    // `budget` (std::bad_alloc past it).
    Expander(const Node& root, TextBudget& budget);

    // `node`'s formulas expanded, in the form they have; `node` must be in the
    // tree.  Which text a cycle gives depends on the expansions before.
    AnyDim<std::string> expand_node_formulas(const Node& node);

    // True once an expansion has met a reference back to a formula still
    // being expanded.  Until then every text given is the same whatever was
    // expanded before it.
    bool met_cycle() const { return met_cycle_; }

    const NameIndex& names() const { return names_; }

private:
    // The dimension a formula is expanded for: a list entry's index, or every
    // dimension at once for a single formula (when the tree has several).
    static constexpr std::size_t kEveryDimension = SIZE_MAX;

    struct Piece {
        const char* data;  // null: `size` is the number of an expansion
        std::size_t size;
    };
    struct Expansion {
        std::size_t first;   // pieces_[first, first + count)
        std::size_t count;
        std::size_t length;  // of its text, saturating at SIZE_MAX
    };
    // Where a reference token stands, as far as replacing it goes.
    enum class Place : std::uint8_t { Operand, ModifierArgument, AggregationArgument };
    struct ReferenceToken {
        std::size_t start;
        std::size_t end;
        Place place;
    };
    // A formula's reference tokens (references_[first, first + count)), read
    // once however often the formula is met, and whether it parses.
    struct FormulaInfo {
        std::size_t first = 0;
        std::size_t count = 0;
        signed char parses = -1;  // not yet known
    };
    struct Frame {
        std::string_view formula;  // a formula of a node of the tree
        const Node* node;          // whose children `children` means
        FormulaInfo* info;
        std::size_t dimension;
        std::size_t token = 0;   // the reference token being handled
        std::size_t copied = 0;  // formula bytes accounted for in `out`
        std::size_t child = 0;   // bare children reference: the next child to take
        std::size_t first_piece = 0;  // its text so far: scratch_[first_piece, end)
        std::size_t length = 0;
        // A children or right reference stays as written; an unindexed name
        // that several visible nodes carry stays.  Either keeps the formula
        // out of other nodes.
        bool keeps_context = false;
        bool keeps_shared_name = false;
        // Of a referenced node's formula: that node and the reference the
        // expansion stands for.  Null and empty for a node's own formula.
        const Node* target = nullptr;
        std::string_view reference;
    };
    struct CacheEntry {
        enum class State : std::uint8_t { Expanding, Inserted, Kept } state;
        std::size_t expansion;       // Inserted
        std::string_view reference;  // Expanding: the text that stands in until done
    };
    struct Key {
        const Node* node;
        std::size_t dimension;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            return mix_bits(reinterpret_cast<std::uintptr_t>(key.node) ^ (key.dimension * 0x9E3779B97F4A7C15u));
        }
    };
    std::string expand_formula(const std::string& formula, std::size_t dimension, const Node& node);
    Frame& push_frame(const std::string& formula, const Node& node, FormulaInfo& info,
                      std::size_t dimension);
    bool advance(Frame& frame);
    void copy_up_to(Frame& frame, const ReferenceToken& token);
    void settle(Frame& done, Frame& into);
    bool expand_children_reference(Frame& frame);
    bool expand_node_reference(Frame& into, std::string_view reference, bool modifier_argument);
    void keep(Frame& frame, std::string_view text) { append(frame, text); }
    void keep_context(Frame& frame, std::string_view text);

    const OwnedNodeReference* read_reference(std::string_view reference);
    const std::string* written_reference(const Node& child);
    const std::string* formula_for(const Node& target, std::size_t dimension);
    FormulaInfo& info_of(const std::string& formula);
    bool parses(FormulaInfo& info, const std::string& formula);

    void append(Frame& frame, std::string_view text);
    void append_expansion(Frame& frame, std::size_t expansion);
    std::size_t store(const Frame& frame);
    void drop(const Frame& frame) { scratch_.resize(frame.first_piece); }
    std::string spell(const Piece* first, const Piece* end, std::size_t length);

    const NameIndex names_;
    std::size_t dimensions_;  // of the tree, as evaluation counts them
    ReferenceForms forms_;
    // The reference that finds exactly each child a children reference
    // names; empty when none does.
    FlatMap<const Node*, const std::string*, PointerHash> written_;  // into written_texts_
    std::deque<std::string> written_texts_;
    FlatMap<Key, CacheEntry, KeyHash> cache_;
    // Each reference text read once: its name and index, or nothing when it
    // does not read.
    TextMap<std::optional<OwnedNodeReference>> read_;
    // By the formula's text: a model repeats its formulas from department to
    // department, and each distinct text is scanned and parsed once. Frames
    // point into it.
    TextMap<FormulaInfo> infos_;
    std::vector<ReferenceToken> references_;
    // Nodes whose formula list is one text in every dimension.
    FlatMap<const Node*, bool, PointerHash> uniform_;
    std::vector<Piece> pieces_;
    std::vector<Expansion> expansions_;
    // The pieces of the frames being expanded, innermost last: a frame
    // appends only while it is the innermost one.
    std::vector<Piece> scratch_;
    std::deque<Frame> frames_;  // a deque: pushing keeps references to the others valid
    Arena parse_arena_;
    StackSegments segments_;  // for parsing texts nested too deeply for the thread's stack
    bool met_cycle_ = false;
    TextBudget& budget_;
};

// A copy of the tree with every node's formulas expanded, in pre-order.
// Throws std::bad_alloc when the texts it writes would pass `budget`.
Node expand_tree_formulas(const Node& root, TextBudget& budget);

}  // namespace morvax
