#include "eval/names.hpp"

namespace morvax {

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
