#include "eval/flat_tree.hpp"

#include <limits>
#include <stdexcept>

#include "eval/names.hpp"

namespace morvax {

FlatTree::FlatTree(Node& root) {
    for_each_preorder(root, [&](Node& n) {
        if (texts_.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("tree too large");
        Item item{n.name, static_cast<std::uint32_t>(texts_.size())};
        item.children = static_cast<std::uint32_t>(n.children.size());
        item.hidden = n.is_hidden;
        item.list = n.formula.is_multi();
        for (const std::string& text : n.formula) texts_.push_back(text);
        items_.push_back(item);
        nodes_.push_back(&n);
    });
}

}  // namespace morvax
