// Formula texts that differ only in the digits of their numbers and indexes
// share one syntax tree. A model writes the same formula in every
// department with the department's own index (`=@Salaries[12] * 0.05`, then
// `[13]`): the first two texts of a shape are parsed, the second one's tree
// kept, and each later text takes that tree with its own literals put in,
// for a fraction of a parse.
//
// A text's shape is the text with its literal digits masked: every digit run
// that does not continue a name. Texts of one shape have the same characters
// but for those digits, and digits at the same places. The direct reading
// tells digits from other characters but never looks at their values except
// where it converts a literal, so it reads all texts of a shape alike. A tree
// is kept only when the direct reading built it and every masked digit lies
// in a literal it noted: converting a text's literals is then all that
// parsing it would do differently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ast.hpp"
#include "parser/direct.hpp"

namespace morvax {

class FormulaShapes {
public:
    // The kept tree of an earlier text of `text`'s shape with `text`'s
    // literals put in; null when none is kept, or when a literal of `text`
    // does not convert (its direct reading fails then). The tree holds these
    // literals until the next call: it is to be used at once, not kept.
    // `deep` tells whether it was parsed for a deep stack, and so is to be
    // used on one; `shape`, which tree it is: the how-manieth kept.
    const Value* reuse(std::string_view text, bool& deep, std::size_t& shape);
    // Keeps `tree` for the shape of the text last given to reuse() (which
    // found no tree), when that text is the second of its shape: the tree is
    // the direct reading's of it (its copy `text`), for a deep stack when
    // `deep`, with `literals` noted. True when kept: the tree and the text
    // must then stay as they are while this lives. False, and the shape's
    // texts are not offered again, when the tree's literals do not account
    // for every masked digit, or it nests deeper than a shallow stack's
    // parse would.
    bool keep(std::string_view text, const Value& tree, std::span<const direct::Literal> literals, bool deep);
    // The text last given to reuse() cannot be shared (its steps hand its
    // tree to the evaluator): neither can the others of its shape.
    void reject();

    // Enough for the formulas a model repeats; the others are parsed.
    static constexpr std::size_t kMostShapes = 1024;

    // A literal of a kept tree: its field in the tree, and where it lies in
    // the texts of the shape.
    struct Site {
        double* number;  // or null, for an index
        Index* index;
        std::uint32_t start;
        std::uint32_t length;
    };

private:
    enum class State : std::uint8_t { Met, Kept, Rejected };
    struct Entry {
        std::uint64_t hash = 0;
        std::size_t key = 0;          // the shape's key, in keys_
        std::size_t length = 0;       // its length; 0: a free entry
        const Value* tree = nullptr;  // null: texts of this shape are parsed
        std::uint32_t first = 0;      // its sites: [first, first + count)
        std::uint32_t count = 0;
        std::uint32_t id = 0;  // the how-manieth tree kept
        State state = State::Met;
        bool deep = false;
    };

    // The key of text's shape: the text with its masked digits '0'. Valid
    // until the next call.
    std::string_view shape_of(std::string_view text);
    static bool masks_only_literals(std::string_view text, std::span<const direct::Literal> literals);
    // The entry of key's shape, or the free entry it would take.
    Entry* find(std::string_view key, std::uint64_t hash);

    // Twice as large, every entry placed anew.
    void grow();

    std::vector<Entry> entries_;  // a power of two, at most half full
    std::vector<Site> sites_;
    std::string keys_;  // the keys of the shapes met, one after another
    std::string key_;   // shape_of's
    std::size_t shapes_ = 0;  // entries, in every state
    Entry* pending_ = nullptr;  // the shape keep() may keep the tree of
    std::size_t trees_ = 0;  // kept
    // Since the table filled, or since the last count: texts looked up, and
    // those given a kept tree.
    std::size_t looked_ = 0;
    std::size_t reused_ = 0;
    bool stopped_ = false;  // no text is looked up any more
    std::string error_;  // what a number's conversion would report, unused
};

}  // namespace morvax
