#include "eval/names.hpp"

#include <algorithm>

namespace morvax {

std::vector<const Node*> find_all_nodes_by_name(const Node& start, std::string_view name) {
    std::vector<const Node*> found;
    for_each_preorder(start, [&](const Node& n) {
        if (!n.is_hidden && n.name == name) found.push_back(&n);
    });
    return found;
}

std::size_t get_max_dimensions(const Node& node) {
    std::size_t most = 0;
    for_each_preorder(node, [&](const Node& n) { most = std::max(most, n.formula.dimensions()); });
    return most;
}

NameIndex::NameIndex(const Node& root) {
    for_each_preorder(root, [&](const Node& n) {
        if (!n.is_hidden) by_name_[n.name].push_back(&n);
    });
}

std::span<const Node* const> NameIndex::find(std::string_view name) const {
    auto it = by_name_.find(name);
    if (it == by_name_.end()) return {};
    return it->second;
}

}  // namespace morvax
