#include "eval/tree_index.hpp"

#include <limits>
#include <stdexcept>

namespace morvax {

std::vector<NodePtr> subtree_ends(const FlatTree& tree) {
    // From the back, so that each child's end is known: a node's subtree ends
    // where the hops from its first child over each child's subtree end.
    std::vector<NodePtr> end(tree.size());
    for (std::size_t i = tree.size(); i-- > 0;) {
        NodePtr at = static_cast<NodePtr>(i + 1);
        for (std::uint32_t c = 0; c < tree.children(i); ++c) at = end[at];
        end[i] = at;
    }
    return end;
}

TreeIndex::TreeIndex(FlatTree& tree) {
    groups_ = tree.take_names();
    index(tree);
}

TreeIndex::TreeIndex(const FlatTree& tree) {
    for (std::uint32_t id = 0; id < tree.names().size(); ++id) groups_.intern(tree.names().text(id));
    index(tree);
}

void TreeIndex::index(const FlatTree& tree) {
    // Positions are 32-bit; a tree that large would not fit in memory anyway.
    if (tree.size() >= std::numeric_limits<NodePtr>::max()) throw std::length_error("tree too large");
    // A name's group is its id; hidden nodes belong to none.
    std::vector<std::uint32_t> group_of(tree.size());
    std::vector<std::uint32_t> counts(groups_.size(), 0);
    for (std::size_t n = 0; n < tree.size(); ++n) {
        const std::uint32_t g = tree.hidden(n) ? TextIds::kNone : tree.name(n);
        if (g != TextIds::kNone) ++counts[g];
        group_of[n] = g;
    }
    end_ = morvax::subtree_ends(tree);
    index_names(group_of, counts);
}

// Groups the visible nodes by name, each group in pre-order, all groups in
// one array.
void TreeIndex::index_names(const std::vector<std::uint32_t>& group_of, const std::vector<std::uint32_t>& counts) {
    group_start_.assign(counts.size() + 1, 0);
    for (std::size_t g = 0; g < counts.size(); ++g) group_start_[g + 1] = group_start_[g] + counts[g];
    named_.resize(group_start_.back());
    std::vector<std::uint32_t> fill(group_start_.begin(), group_start_.end() - 1);
    for (NodePtr i = 0; i < group_of.size(); ++i) {
        if (group_of[i] != TextIds::kNone) named_[fill[group_of[i]]++] = i;
    }
}

std::span<const NodePtr> TreeIndex::find(std::string_view name) const {
    const std::uint32_t g = groups_.find(name);
    if (g == TextIds::kNone) return {};
    return std::span<const NodePtr>(named_).subspan(group_start_[g], group_start_[g + 1] - group_start_[g]);
}

}  // namespace morvax
