// Node explanation: one node with its formula expanded down to input nodes,
// and, as its children, the nodes that the expanded formula names.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "eval/types.hpp"
#include "references/references.hpp"
#include "tree/text_budget.hpp"

namespace morvax {

// The first node in pre-order whose id is exactly `id`, or null.
const Node* find_node_by_id(const Node& root, std::string_view id);

// The distinct node references in `formulas` (children and right references
// aside), each a name and its index if any, in order of first occurrence;
// references that do not read back are skipped. The scans go through
// `budget` (an expanded text can hold millions of references).
std::vector<OwnedNodeReference> extract_node_references_from_all(std::span<const std::string> formulas,
                                                                 TextBudget& budget);

// The explanation of the first node with id `node_id`: its fields with its
// formulas as the expansion of the whole tree gives them, and as children a
// childless copy of each node that a reference of those formulas picks (a
// name that denotes one node alone, or an index), each once.
// Nothing when no node has the id.  Work in proportion to what it shows: the
// whole tree is expanded only when a cycle makes the texts depend on it.
// Throws std::bad_alloc when the expansion, or the JSON text the result may
// need, would pass `budget`.
std::optional<Node> explain_node(const Node& root, std::string_view node_id, TextBudget& budget);

}  // namespace morvax
