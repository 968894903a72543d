// Node renaming: the references in a new tree's formulas that were written
// against an old tree are changed to reach the same nodes, matched by id, under
// their new names and positions.  Purely textual: whole reference tokens are
// replaced by exact text look-up, all other text is copied as it is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "eval/text_ids.hpp"
#include "eval/types.hpp"
#include "tree/text_budget.hpp"

namespace morvax {

// What renaming keeps of a visible node: its name, and its position among the
// visible nodes of that name, counted from 1 in pre-order.
struct NodeInfo {
    std::string_view name;
    std::size_t occurrence;
};

// Tables over one tree; keys and names view the tree's own texts.
using IdTable = std::unordered_map<std::string_view, NodeInfo, TextHash>;
using NameCounts = std::unordered_map<std::string_view, std::size_t, TextHash>;
// Old reference text -> its replacement.
using RenameTable = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

// The visible nodes by id; when ids repeat, the last node in pre-order wins
// (all nodes without an id share the empty one).  Counts the visible nodes of
// each name into `counts` on the way, below hidden nodes too.
IdTable collect_nodes_by_id(const Node& tree, NameCounts& counts);

// Old references mapped to the new references of the same nodes; references
// that now cannot reach their node (deleted and colliding with a surviving
// node's reference, or renamed to a name with no written form) map to "REF!".
RenameTable build_rename_table(const Node& old_tree, const Node& new_tree);

// Replaces every node-reference token (children references aside) whose whole
// text is a key of `table`, in every formula of every node.  Each token is
// looked up once in the formula as it stood, so replacements never chain.
void replace_references_in_tree(Node& tree, const RenameTable& table, TextBudget& budget);

}  // namespace morvax
