// Formula expansion: references to computed nodes are replaced, recursively,
// by those nodes' formulas until only references to input nodes remain.  It
// is purely textual: it works on the token stream and copies all text outside
// the rewritten tokens as it is; nothing is parsed into a syntax tree and
// nothing is evaluated.  Whatever cannot be resolved to exactly one node is
// left as written.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "eval/names.hpp"
#include "eval/types.hpp"
#include "parser/tokenize.hpp"
#include "tree/reference_forms.hpp"
#include "tree/text_budget.hpp"

namespace morvax {

// True when scanning `formula` gives at least one node-reference token
// (children and right references included); false for the empty text.
bool contains_references(std::string_view formula);

// The names of the visible nodes none of whose formulas contains a reference.
// The set views the tree's own names: the tree must outlive it.
std::unordered_set<std::string_view, TextHash> collect_non_reference_nodes(const Node& root);

// Expands the formulas of one tree, keeping the state that all expansions of
// a call share: the name index, the non-reference names and the expansion
// cache, whose first entry for a name and dimension is reused everywhere.
//
// References lead from formula to formula, along chains as long as the tree
// is large, so nested expansions are frames on an explicit stack rather than
// native recursion.  A frame expands one formula token by token; when a token
// needs another node's formula expanded first, it pushes a frame for that and
// resumes where it stopped once that frame's text is appended.
class Expander {
public:
    // Every text it writes is charged to `budget` (std::bad_alloc past it).
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
    struct Frame {
        std::string_view formula;  // a formula of a node of the tree
        const Node* node;          // whose children `children` means
        const std::vector<Token>* tokens;  // `own_tokens`, or the formula's in `scanned_`
        std::vector<Token> own_tokens;
        std::size_t token = 0;   // the token being handled
        std::size_t copied = 0;  // formula bytes accounted for in `out`
        std::size_t child = 0;   // bare children reference: the next child to take
        std::size_t joined = 0;  // bare children reference: the pieces written so far
        std::string out;
        // Of a referenced node's formula: the cache entry it fills and the
        // reference it stands for.  Both empty for a node's own formula.
        std::string key;
        std::string reference;
    };
    struct CacheEntry {
        std::string text;
        bool in_progress;  // text is the reference itself, standing in until done
    };
    std::string expand_formula(const std::string& formula, std::size_t index, const Node& node);
    Frame& push_frame(std::string_view formula, const Node& node);
    bool advance(Frame& frame);
    void copy_gap(Frame& frame, const Token& token);
    bool expand_children_reference(Frame& frame);
    bool expand_node_reference(Frame& into, std::string_view reference);
    const std::string* name_read(std::string_view reference);
    using Target = std::pair<const Node*, const std::string*>;
    Target expandable(const std::string& name);
    const std::vector<Token>& tokens_of(const std::string& formula);
    std::string& finish(Frame& frame);
    void append(std::string& out, std::string_view text) { budget_.append(out, text); }

    const NameIndex names_;
    ReferenceForms forms_;  // of the children that children references name
    // "Name:index" -> the reference's replacement; the reference text itself
    // while that formula is being expanded, which ends cycles.
    std::unordered_map<std::string, CacheEntry, TextHash, std::equal_to<>> cache_;
    std::string key_;  // the key being looked up, built in place
    // Each reference text read once: the name, or nothing when it does not read.
    std::unordered_map<std::string, std::optional<std::string>, TextHash, std::equal_to<>> read_;
    // Referenced formulas scanned once, though their nodes are met in every
    // dimension: by the formula's address in the tree.
    std::unordered_map<const std::string*, std::vector<Token>> scanned_;
    std::deque<Frame> frames_;  // a deque: pushing keeps references to the others valid
    std::size_t index_ = 0;     // the dimension of the formula being expanded
    bool met_cycle_ = false;
    TextBudget& budget_;
};

// A copy of the tree with every node's formulas expanded, in pre-order.
// Throws std::bad_alloc when the texts it writes would pass `budget`.
Node expand_tree_formulas(const Node& root, TextBudget& budget);

}  // namespace morvax
