// Formula texts that differ only in the digits of their numbers and indexes
// share one syntax tree. A model writes the same formula in every
// department with the department's own index (`=@Salaries[12] * 0.05`, then
// `[13]`): the first two texts of a shape are parsed and compiled, the
// second one's tree and steps kept, and each later text puts its own
// literals into that tree and remakes the steps they made, for a fraction of
// a parse.
//
// A text's shape is the text with its literal digits masked: every digit run
// that does not continue a name. Texts of one shape have the same characters
// but for those digits, and digits at the same places. The direct reading
// tells digits from other characters but never looks at their values except
// where it converts a literal, so it reads all texts of a shape alike. A tree
// is kept only when the direct reading built it and every masked digit lies
// in a literal it noted, each of which made one step: converting a text's
// literals and remaking those steps is then all that parsing and compiling
// it would do differently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "eval/program.hpp"
#include "parser/direct.hpp"

namespace morvax {

class FormulaShapes {
public:
    // What a later text of a kept shape takes: the steps of the text whose
    // tree was kept, of which those its literals made, made anew from the
    // kept tree (set_literal_steps), give the text's own steps.
    struct Shared {
        std::span<const Step> steps;
        std::span<const LiteralStep> literals;
        bool deep;  // for a deep stack
    };
    // True, with `out`, when a tree of `text`'s shape is kept and `text`'s
    // literals convert (else its direct reading fails): the kept tree holds
    // them then, until the next call.
    bool reuse(std::string_view text, Shared& out);
    // Keeps, for the later texts of its shape, the compilation of the text
    // last given to reuse() (which found none) when that text is the second
    // of its shape: `steps`, which `made` lists as made from literals (they
    // point into the tree the direct reading built from `text`, its copy,
    // noting `literals`), for a deep stack when `deep`. True when kept: the
    // steps, the tree and the text must then stay as they are while this
    // lives. False, and the shape's texts are not offered again, when the
    // steps made from literals are not the literals noted, one for one, or
    // those do not account for every masked digit.
    bool keep(std::string_view text, std::span<const direct::Literal> literals, std::span<const Step> steps,
              std::span<const LiteralStep> made, bool deep);
    // The text last given to reuse() cannot be shared (its steps hand its
    // tree to the evaluator): neither can the others of its shape.
    void reject();

    // Enough for the formulas a model repeats; the others are parsed.
    static constexpr std::size_t kMostShapes = 1024;

private:
    enum class State : std::uint8_t { Met, Kept, Rejected };
    struct Entry {
        std::uint64_t hash = 0;
        std::size_t key = 0;     // the shape's key, in keys_
        std::size_t length = 0;  // its length; 0: a free entry
        State state = State::Met;
        bool deep = false;
        // Kept: the steps, and those made from literals in made_ and places_
        // [first, first + count).
        const Step* steps = nullptr;
        std::uint32_t size = 0;
        std::uint32_t first = 0;
        std::uint32_t count = 0;
    };
    // Where a literal lies in the texts of its shape.
    struct Place {
        std::uint32_t start;
        std::uint32_t length;
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
    std::vector<LiteralStep> made_;
    std::vector<Place> places_;
    std::string keys_;  // the keys of the shapes met, one after another
    std::string key_;   // shape_of's
    std::size_t shapes_ = 0;    // entries, in every state
    Entry* pending_ = nullptr;  // the shape keep() may keep the steps of
    // Since the table filled, or since the last count: texts looked up, and
    // those given a kept tree.
    std::size_t looked_ = 0;
    std::size_t reused_ = 0;
    bool stopped_ = false;  // no text is looked up any more
    std::string error_;     // what a number's conversion would report, unused
};

}  // namespace morvax
