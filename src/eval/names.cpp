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
    names_.borrow_texts();  // the tree keeps its names
    std::vector<std::uint32_t> name_of;  // per visible node, in pre-order
    std::vector<const Node*> visible;
    for_each_preorder(root, [&](const Node& n) {
        if (n.is_hidden) return;
        name_of.push_back(names_.intern(n.name));
        visible.push_back(&n);
    });
    starts_.assign(names_.size() + 1, 0);
    for (const std::uint32_t name : name_of) ++starts_[name + 1];
    for (std::size_t i = 1; i < starts_.size(); ++i) starts_[i] += starts_[i - 1];
    // Placed by name, each name's nodes keeping their order.
    nodes_.resize(visible.size());
    std::vector<std::uint32_t> next(starts_.begin(), starts_.end() - 1);
    for (std::size_t i = 0; i < visible.size(); ++i) nodes_[next[name_of[i]]++] = visible[i];
}

std::span<const Node* const> NameIndex::find(std::string_view name) const {
    const std::uint32_t i = names_.find(name);
    if (i == TextIds::kNone) return {};
    return std::span<const Node* const>(nodes_).subspan(starts_[i], starts_[i + 1] - starts_[i]);
}

}  // namespace morvax
