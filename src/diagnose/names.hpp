// What a name that finds no node may have meant: the names hidden nodes
// carry, and the closest visible name (another letter case, or one character
// added, missing or changed).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "eval/flat_tree.hpp"
#include "eval/text_ids.hpp"

namespace morvax {

class NameHints {
public:
    // `tree` must outlive this; its names are viewed.
    explicit NameHints(const FlatTree& tree);

    bool only_hidden(std::string_view name) const { return hidden_.contains(name); }
    // The visible name, first in pre-order, closest to `name`; empty when none
    // is close. What the answer needs of the index for typos is built then.
    std::string_view closest(std::string_view name);

private:
    std::string_view find_closest(std::string_view name);
    // A visible name with one character left out, by the hash of what is left.
    struct Deletion {
        std::uint64_t hash;
        std::uint32_t name;  // in names_
        std::uint32_t at;    // where the character left out starts
    };
    // The first visible name in pre-order that has `variant` as one of its
    // deletions, or empty.
    std::string_view deleted_from(std::string_view variant);
    // The deletions of the names `length` bytes long, sorted by hash, then by
    // name: made on first use.
    const std::vector<Deletion>& deletions_of_length(std::size_t length);

    const FlatTree& tree_;
    std::unordered_set<std::string_view> visible_;
    std::unordered_set<std::string_view> hidden_;  // names only hidden nodes carry
    bool built_ = false;
    std::unordered_map<std::string, std::string_view> folded_;  // ASCII lower case -> name
    std::vector<std::string_view> names_;  // the distinct visible names, in pre-order of their first node
    // By byte length: the names of names_ that long, and their deletions once asked for.
    std::unordered_map<std::size_t, std::vector<std::uint32_t>> of_length_;
    std::unordered_map<std::size_t, std::vector<Deletion>> deletions_;
    std::string variant_;  // deletions_of_length's scratch; closest keeps its own while it calls that
    // The answers given, by the name asked about: every cell that reads an
    // unknown name asks about it.
    std::unordered_map<std::string, std::string_view, TextHash, std::equal_to<>> answered_;
};

}  // namespace morvax
