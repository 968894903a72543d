// Walks of a tree of Nodes and what they find: the pre-order walk, the name
// search, the dimension count, and a name index built once per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "eval/text_ids.hpp"
#include "eval/types.hpp"

namespace morvax {

// The visible nodes of `start`'s subtree named exactly `name`, in pre-order.
// The children of a hidden node are still searched.
std::vector<const Node*> find_all_nodes_by_name(const Node& start, std::string_view name);

// The longest formula list of the subtree; a single formula counts 1.
std::size_t get_max_dimensions(const Node& node);

// For every name, the visible nodes that carry it, in pre-order.  Hidden
// nodes are left out but their children are not.  Keys view the nodes' own
// names, so the tree must stay in place and unchanged while the index is used.
class NameIndex {
public:
    explicit NameIndex(const Node& root);

    // The visible nodes named exactly `name` (byte for byte), in pre-order.
    std::span<const Node* const> find(std::string_view name) const;

private:
    // Flat, as a model has 10^5 names and more: the names interned, and the
    // nodes of name i at nodes_[starts_[i], starts_[i + 1]).
    TextIds names_;
    std::vector<std::uint32_t> starts_;
    std::vector<const Node*> nodes_;
};

// Calls `visit(node)` for every node below and including `root`, in pre-order,
// without recursion.  `NodeT` is Node or const Node.
template <class NodeT, class Visit>
void for_each_preorder(NodeT& root, Visit&& visit) {
    std::vector<NodeT*> todo{&root};
    while (!todo.empty()) {
        NodeT* n = todo.back();
        todo.pop_back();
        visit(*n);
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) todo.push_back(&*it);
    }
}

}  // namespace morvax
