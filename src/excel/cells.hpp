// The cell table of one export: every node's addresses as the caller laid
// them out, looked up by node identity.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>

#include "eval/anydim.hpp"
#include "eval/types.hpp"

namespace morvax {

// The identity of one node of the tree being exported: its address.  Two
// nodes with equal contents are different keys, and hashing never reads the
// node itself.
struct NodeKey {
    const Node* node = nullptr;
    friend bool operator==(NodeKey, NodeKey) = default;
};

struct NodeKeyHash {
    std::size_t operator()(NodeKey key) const noexcept {
        return std::hash<const Node*>{}(key.node);
    }
};

// Addresses from before the export rewrote any `cells`, so the order in which
// nodes are rewritten cannot change a result.
using CellTable = std::unordered_map<NodeKey, AnyDim<std::string>, NodeKeyHash>;

}  // namespace morvax
