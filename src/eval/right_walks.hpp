// Which later dimensions of each node a `right` reference has already had
// evaluated: shared by the evaluation and the diagnosis, which walk them
// alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "eval/tree_index.hpp"

namespace morvax {

class RightWalks {
public:
    // Reads n's dimensions after d up to `length`, in order (`read(k)`),
    // skipping those an earlier walk has read: a series whose every
    // dimension reads the next would otherwise walk the rest of the series
    // from each. `nodes`: the tree's size, for the table made at the first
    // walk.
    template <class Read>
    void walk(NodePtr n, std::size_t d, std::size_t length, std::size_t nodes, Read&& read) {
        if (from_.empty()) from_.assign(nodes, kNone);
        // Nested reads may lower the mark: the rest is then evaluated already.
        for (std::size_t k = d + 1; k < length && k < from_[n]; ++k) read(k);
        from_[n] = static_cast<std::uint32_t>(std::min(d + 1, std::size_t{from_[n]}));
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    // Per node, once walked: every dimension from this one to the end of its
    // formula list is evaluated (kNone: not known).
    std::vector<std::uint32_t> from_;
};

}  // namespace morvax
