// A tree as one evaluation reads it: every node in pre-order with its name,
// hidden flag, number of children and formula, in flat arrays.
//
// Names and formula texts are interned as they are added: the tree keeps one
// copy of each distinct text, and a node holds the ids of its texts. A model
// repeats its names and formulas many times over (every department has the
// same line items), so this holds a fraction of what copying every text
// would, and the formula table parses each distinct text once without
// looking any text up again.
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
    // The tree of `root`; save_values writes to its Nodes, which must outlive
    // the evaluation.
    explicit FlatTree(Node& root);

    // Building, in pre-order: a new node at the end, whose position comes
    // back; its parent counts it with count_child.
    std::size_t add_node();
    void count_child(std::size_t parent) { ++items_[parent].children; }
    void set_name(std::size_t n, std::string_view name) { items_[n].name = names_.intern(name); }
    // A name set before, by its id in names().
    void set_name_id(std::size_t n, std::uint32_t id) { items_[n].name = id; }
    void set_hidden(std::size_t n, bool hidden) { items_[n].hidden = hidden; }
    // The node's formula: one text for every dimension, or a list (each
    // add_text a further entry). Texts go to the node added last.
    void set_list(std::size_t n, bool list) { items_[n].list = list; }
    // `hash` must be the same for equal texts and spread unequal ones well
    // (keyed: the texts are the caller's); add_text(text) hashes with
    // hash_text. One tree takes its hashes from one source.
    //
    // Texts are interned a block at a time, each block's hashes known before
    // its first probe, so that the probes of a table larger than the cache
    // overlap rather than wait for one another: `text` must stay valid until
    // flush_texts(), due when texts_pending() reaches kTextBlock and once
    // the last text is added.
    void add_text(std::string_view text, std::uint64_t hash) {
        pending_.push_back({static_cast<std::uint32_t>(text_of_.size()), text, hash});
        text_of_.push_back(0);
    }
    void add_text(std::string_view text) { add_text(text, hash_text(text)); }
    // The same text as the one added at `slot` (a next_slot() of before),
    // which is not looked up again.
    void add_copy(std::uint32_t slot) { text_of_.push_back(kCopy | slot); }
    void add_copies(std::uint32_t slot, std::size_t times) { text_of_.insert(text_of_.end(), times, kCopy | slot); }
    // The slot the next text added takes.
    std::uint32_t next_slot() const { return static_cast<std::uint32_t>(text_of_.size()); }
    static constexpr std::size_t kTextBlock = 256;
    std::size_t texts_pending() const { return pending_.size(); }
    void flush_texts();
    // From now on the formula texts are not copied: once flush_texts() has
    // interned a block, the texts of it that added_texts() lists (by their
    // place in the block) must stay valid for as long as the tree, or until
    // a FormulaTable is made of it; the others may go.
    void borrow_texts() { texts_.borrow_texts(); }
    std::span<const std::uint32_t> added_texts() const { return added_; }

    std::size_t size() const { return items_.size(); }
    bool hidden(std::size_t n) const { return items_[n].hidden; }
    std::uint32_t children(std::size_t n) const { return items_[n].children; }
    bool is_list(std::size_t n) const { return items_[n].list; }
    // The id of the node's name in names().
    std::uint32_t name(std::size_t n) const { return items_[n].name; }
    // The ids of the node's formula texts in texts(), one per list entry.
    std::span<const std::uint32_t> text_ids(std::size_t n) const {
        const std::size_t end = n + 1 < items_.size() ? items_[n + 1].first_text : text_of_.size();
        return std::span<const std::uint32_t>(text_of_).subspan(items_[n].first_text, end - items_[n].first_text);
    }
    std::string_view name_text(std::size_t n) const { return names_.text(items_[n].name); }
    // Where the subtree of n ends (the next node after it that is not its
    // descendant): a walk over the subtree, which must be complete.
    std::size_t subtree_end(std::size_t n) const {
        std::size_t open = 1;
        for (; open > 0; ++n) open = open + items_[n].children - 1;
        return n;
    }
    // Formula texts in all, counting each list entry.
    std::size_t text_count() const { return text_of_.size(); }
    const TextIds& names() const { return names_; }
    const TextIds& texts() const { return texts_; }
    // Once read, the texts are only asked for by id: the lookup's room goes.
    void finish_texts() { texts_.forget_lookup(); }
    // Taking them leaves none: the tree index keeps the names, the formula
    // table what it makes of the texts.
    TextIds take_names() { return std::move(names_); }
    // The ids of every node's formula texts, node after node (text_ids()
    // gives each its stretch). Taking them leaves none.
    std::vector<std::uint32_t> take_text_ids() { return std::move(text_of_); }
    // The Nodes it was read from, in pre-order; empty when it came from
    // elsewhere. Taking them leaves none.
    std::vector<Node*> take_nodes() { return std::move(nodes_); }

private:
    struct Item {
        std::uint32_t name = 0;
        std::uint32_t first_text = 0;  // texts [first_text, the next item's first_text)
        std::uint32_t children = 0;
        bool hidden = false;
        bool list = false;
    };

    struct Pending {
        std::uint32_t slot;  // in text_of_
        std::string_view text;
        std::uint64_t hash;
    };

    // Until flushed, a slot of add_copy holds this bit and the slot it copies.
    static constexpr std::uint32_t kCopy = 0x80000000u;

    std::vector<Item> items_;
    std::vector<Pending> pending_;
    std::vector<std::uint32_t> text_of_;  // per formula slot: its text's id
    std::size_t flushed_ = 0;             // text_of_ holds ids up to here
    std::vector<std::uint32_t> added_;    // the new texts of the block flushed last
    TextIds names_;
    TextIds texts_;
    std::vector<Node*> nodes_;
};

}  // namespace morvax
