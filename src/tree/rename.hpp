// Node renaming: the references in a new tree's formulas that were written
// against an old tree are changed to reach the same nodes, matched by id, under
// their new names and positions.  Purely textual: whole reference tokens are
// replaced by exact text look-up, all other text is copied as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eval/flat_tree.hpp"
#include "eval/text_ids.hpp"
#include "eval/types.hpp"
#include "tree/text_budget.hpp"

namespace morvax {

// What renaming keeps of a visible node: its name, and its position among the
// visible nodes of that name, counted from 1 in pre-order.
struct NodeInfo {
    std::string_view name;
    std::size_t occurrence;
    std::uint32_t name_id;  // in the NodesById it came from
};

// The visible nodes of one tree by id, and the number of visible nodes of each
// name (below hidden nodes too). When ids repeat, the last node in pre-order
// wins; all nodes without an id share the empty one. Ids and names are
// interned once each, in flat tables: a model has 10^5 and more of them.
// Views the tree's texts, which must outlive it.
class NodesById {
public:
    explicit NodesById(const Node& tree);
    // A tree read flat, with each node's id by its position.
    NodesById(const FlatTree& tree, const std::vector<std::string>& ids);

    // Distinct ids, numbered 0, 1, ... in the order they first appear.
    std::size_t size() const { return nodes_.size(); }
    std::string_view id(std::size_t i) const { return ids_.text(static_cast<std::uint32_t>(i)); }
    const NodeInfo& node(std::size_t i) const { return nodes_[i]; }
    // The node of this id, or null.
    const NodeInfo* find(std::string_view id) const {
        const std::uint32_t i = ids_.find(id);
        return i == TextIds::kNone ? nullptr : &nodes_[i];
    }
    // Distinct names of visible nodes, numbered as NodeInfo::name_id.
    std::size_t names() const { return counts_.size(); }
    // The visible nodes named `name` (0 for a name no visible node has).
    std::size_t count(std::string_view name) const {
        const std::uint32_t i = names_.find(name);
        return i == TextIds::kNone ? 0 : counts_[i];
    }
    // The visible nodes that carry the node's name.
    std::size_t count(const NodeInfo& node) const { return counts_[node.name_id]; }
    // The node's unambiguous name in this tree.
    std::string unambiguous(const NodeInfo& node) { return unambiguous(node, node.occurrence, counts_[node.name_id]); }
    // The written form of the node's name with another occurrence and count.
    std::string unambiguous(const NodeInfo& node, std::size_t occurrence, std::size_t count);

private:
    NodesById();
    // The next node in pre-order, when visible.
    void add(std::string_view id, std::string_view name);

    TextIds ids_;
    std::vector<NodeInfo> nodes_;  // per id
    TextIds names_;
    std::vector<std::size_t> counts_;  // per name
    std::vector<std::optional<std::string>> forms_;  // per name: its written form, once asked for
};

// Old reference text -> its replacement.
class RenameTable {
public:
    // Maps `from` to `to`, replacing what `from` mapped to before.
    void set(std::string_view from, std::string to);
    // The replacement of `from`, or null.
    const std::string* find(std::string_view from) const { return to_.find(from); }
    bool empty() const { return to_.empty(); }
    // False only when no key is a part of `formula` that begins with "@":
    // no reference token in it can then be replaced, and it need not be
    // scanned. A key's first bytes after its "@" are remembered in a bit set,
    // so that renaming one node of a large model leaves most formulas alone.
    bool may_hold_key(std::string_view formula) const;

private:
    // Keys by the length of what follows their "@", up to kHead bytes.
    static constexpr std::size_t kHead = 3;
    static constexpr std::size_t kBits = std::size_t{1} << 16;
    static std::size_t head_bit(std::string_view head);

    TextMap<std::string> to_;
    std::vector<bool> heads_[kHead + 1];  // sized kBits once a key of that head length is set
    bool any_ = false;                    // a key that does not begin with "@"
};

// Old references mapped to the new references of the same nodes; references
// that now cannot reach their node (deleted and colliding with a surviving
// node's reference, or renamed to a name with no written form) map to "REF!".
RenameTable build_rename_table(const Node& old_tree, const Node& new_tree);
RenameTable build_rename_table(NodesById& before, NodesById& after);

// `formula` with every reference token (children references aside) whose
// whole text is a key of `table` replaced, each looked up once as it stood;
// nothing when no token is.
std::optional<std::string> rewritten(std::string_view formula, const RenameTable& table, TextBudget& budget);

// Replaces every node-reference token (children references aside) whose whole
// text is a key of `table`, in every formula of every node.  Each token is
// looked up once in the formula as it stood, so replacements never chain.
void replace_references_in_tree(Node& tree, const RenameTable& table, TextBudget& budget);

}  // namespace morvax
