// Formula expansion: references to computed nodes are replaced, recursively,
// by those nodes' formulas until only references to input nodes remain.  It
// is purely textual: it works on the token stream and copies all text outside
// the rewritten tokens as it is; nothing is parsed into a syntax tree and
// nothing is evaluated.  Whatever cannot be resolved to exactly one node is
// left as written.
#pragma once

#include <string_view>
#include <unordered_set>

#include "eval/types.hpp"
#include "tree/text_budget.hpp"

namespace morvax {

// True when scanning `formula` gives at least one node-reference token
// (children and right references included); false for the empty text.
bool contains_references(std::string_view formula);

// The names of the visible nodes none of whose formulas contains a reference.
// The set views the tree's own names: the tree must outlive it.
std::unordered_set<std::string_view> collect_non_reference_nodes(const Node& root);

// A copy of the tree with every node's formulas expanded, in pre-order.
// Throws std::bad_alloc when the texts it writes would pass `budget`.
Node expand_tree_formulas(const Node& root, TextBudget& budget);

}  // namespace morvax
