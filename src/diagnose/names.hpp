// What a name that finds no node may have meant: the names hidden nodes
// carry, and the closest visible name (another letter case, or one character
// added, missing or changed).
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "eval/flat_tree.hpp"

namespace morvax {

class NameHints {
public:
    // `tree` must outlive this; its names are viewed.
    explicit NameHints(const FlatTree& tree);

    bool only_hidden(std::string_view name) const { return hidden_.contains(name); }
    // The visible name, first in pre-order, closest to `name`; empty when none
    // is close. The index for typos is built on the first call.
    std::string_view closest(std::string_view name);

private:
    void build();

    const FlatTree& tree_;
    std::unordered_set<std::string_view> visible_;
    std::unordered_set<std::string_view> hidden_;  // names only hidden nodes carry
    bool built_ = false;
    std::unordered_map<std::string, std::string_view> folded_;   // ASCII lower case -> name
    std::unordered_map<std::string, std::string_view> deleted_;  // a name less one character -> name
};

}  // namespace morvax
