// The shape of a tree for one evaluation: every node's place in pre-order,
// where its subtree ends, and the visible nodes of each name.
//
// One evaluation lays the tree out in pre-order once; a node's position in
// that order (NodePtr) is its identity for the length of the evaluation and
// indexes every per-node table, so probing the memo table, the evaluation
// stack and the name index costs no hashing of addresses and no tree walk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "eval/flat_tree.hpp"
#include "eval/text_ids.hpp"

namespace morvax {

// A node's identity during one tree evaluation: its position in pre-order.
using NodePtr = std::uint32_t;

// Where each node's subtree ends (the position after its last descendant).
std::vector<NodePtr> subtree_ends(const FlatTree& tree);

// The tree in pre-order, with the visible nodes of each name.
class TreeIndex {
public:
    // Takes the tree's names.
    explicit TreeIndex(FlatTree& tree);
    // Leaves the tree its names: the index keeps a copy of them.
    explicit TreeIndex(const FlatTree& tree);

    std::size_t size() const { return end_.size(); }
    // Children of n in order: the first is n + 1, each next one starts where
    // the previous one's subtree ends.
    NodePtr subtree_end(NodePtr n) const { return end_[n]; }
    std::span<const NodePtr> subtree_ends() const { return end_; }
    // Visible nodes named `name`, in pre-order.
    std::span<const NodePtr> find(std::string_view name) const;

private:
    void index(const FlatTree& tree);
    // group_of: each node's name group, TextIds::kNone when hidden; counts:
    // the visible nodes of each group.
    void index_names(const std::vector<std::uint32_t>& group_of, const std::vector<std::uint32_t>& counts);

    std::vector<NodePtr> end_;
    TextIds groups_;  // name -> group
    std::vector<std::uint32_t> group_start_;  // group g is named_[start[g], start[g + 1])
    std::vector<NodePtr> named_;
};

// TreeIndex::find for the names looked up last, remembered by the name: a
// model's formulas name the same few nodes again and again, and comparing a
// name with the one remembered at its place costs less than hashing it. The
// names are copied, so the texts asked with may go.
class RecentNames {
public:
    explicit RecentNames(const TreeIndex& tree) : tree_(tree) {}

    std::span<const NodePtr> find(std::string_view name) {
        Entry& e = entries_[place(name)];
        if (!e.known || e.name != name) e = {std::string(name), tree_.find(name), true};
        return e.nodes;
    }

private:
    static constexpr std::size_t kEntries = 32;
    struct Entry {
        std::string name;
        std::span<const NodePtr> nodes;
        bool known = false;
    };
    // Cheap and spread enough for the handful of names a formula table asks
    // for most: the length and the two ends.
    static std::size_t place(std::string_view name) {
        if (name.empty()) return 0;
        const auto front = static_cast<unsigned char>(name.front());
        const auto back = static_cast<unsigned char>(name.back());
        return (name.size() * 131 + front * 31 + back) % kEntries;
    }

    const TreeIndex& tree_;
    std::array<Entry, kEntries> entries_;
};

}  // namespace morvax
