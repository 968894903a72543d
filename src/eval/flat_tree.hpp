// A tree as one evaluation reads it: every node in pre-order with its name,
// hidden flag, number of children and formula texts, in flat arrays.
//
// Built from a caller's objects it keeps its own copies of the texts, packed
// into large chunks (no allocation per text, and freeing a tree of a million
// nodes is freeing a few hundred chunks). Built from a Node tree it views the
// Nodes' texts, and the Nodes must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "eval/text_ids.hpp"
#include "eval/types.hpp"

namespace morvax {

class FlatTree {
public:
    FlatTree() = default;
    // Views `root`'s tree, which must outlive this one.
    explicit FlatTree(Node& root);

    // Building, in pre-order: a new node at the end, whose position comes
    // back; its parent counts it with count_child. Texts are copied.
    std::size_t add_node() {
        items_.push_back({{}, static_cast<std::uint32_t>(texts_.size())});
        return items_.size() - 1;
    }
    void count_child(std::size_t parent) { ++items_[parent].children; }
    void set_name(std::size_t n, std::string_view name) { items_[n].name = keep(name); }
    void set_hidden(std::size_t n, bool hidden) { items_[n].hidden = hidden; }
    // The node's formula: one text for every dimension, or a list (each
    // add_text a further entry). Texts go to the node added last.
    void set_list(std::size_t n, bool list) { items_[n].list = list; }
    void add_text(std::string_view text) { texts_.push_back(keep(text)); }

    std::size_t size() const { return items_.size(); }
    std::string_view name(std::size_t n) const { return items_[n].name; }
    bool hidden(std::size_t n) const { return items_[n].hidden; }
    std::uint32_t children(std::size_t n) const { return items_[n].children; }
    bool is_list(std::size_t n) const { return items_[n].list; }
    std::span<const std::string_view> texts(std::size_t n) const {
        const std::size_t end = n + 1 < items_.size() ? items_[n + 1].first_text : texts_.size();
        return std::span<const std::string_view>(texts_).subspan(items_[n].first_text, end - items_[n].first_text);
    }
    // The Nodes it was read from, in pre-order; empty when it came from
    // elsewhere. Taking them leaves none.
    std::vector<Node*> take_nodes() { return std::move(nodes_); }

private:
    struct Item {
        std::string_view name;
        std::uint32_t first_text = 0;  // texts [first_text, the next item's first_text)
        std::uint32_t children = 0;
        bool hidden = false;
        bool list = false;
    };

    std::string_view keep(std::string_view text) { return chunks_.keep(text); }

    std::vector<Item> items_;
    std::vector<std::string_view> texts_;
    TextChunks chunks_{std::size_t{256} << 10};
    std::vector<Node*> nodes_;
};

}  // namespace morvax
