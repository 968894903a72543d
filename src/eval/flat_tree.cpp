#include "eval/flat_tree.hpp"

#include <limits>
#include <stdexcept>

#include "eval/names.hpp"

namespace morvax {

std::size_t FlatTree::add_node() {
    // Positions are 32-bit and text slots 31-bit; a tree that large would
    // not fit in memory anyway.
    if (items_.size() >= std::numeric_limits<std::uint32_t>::max() - 1 || text_of_.size() >= kCopy) {
        throw std::length_error("tree too large");
    }
    Item item;
    item.first_text = static_cast<std::uint32_t>(text_of_.size());
    items_.push_back(item);
    return items_.size() - 1;
}

void FlatTree::flush_texts() {
    constexpr std::size_t kAhead = 8;
    added_.clear();
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        if (i + kAhead < pending_.size()) texts_.prefetch(pending_[i + kAhead].hash);
        const Pending& p = pending_[i];
        bool added = false;
        text_of_[p.slot] = texts_.intern(p.text, p.hash, &added);
        if (added) added_.push_back(static_cast<std::uint32_t>(i));
    }
    pending_.clear();
    // A copy's slot comes before it, so in slot order it is known by now.
    for (; flushed_ < text_of_.size(); ++flushed_) {
        const std::uint32_t id = text_of_[flushed_];
        if ((id & kCopy) != 0) text_of_[flushed_] = text_of_[id & ~kCopy];
    }
}

FlatTree::FlatTree(Node& root) {
    for_each_preorder(root, [&](Node& n) {
        const std::size_t at = add_node();
        items_[at].children = static_cast<std::uint32_t>(n.children.size());
        set_name(at, n.name);
        set_hidden(at, n.is_hidden);
        set_list(at, n.formula.is_multi());
        for (const std::string& text : n.formula) {
            add_text(text);
            if (texts_pending() >= kTextBlock) flush_texts();
        }
        nodes_.push_back(&n);
    });
    flush_texts();
}

}  // namespace morvax
