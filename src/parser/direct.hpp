// The fast way in: builds the syntax tree straight from the text, without
// parse nodes, for the texts whose parse it can be sure of (nearly all valid
// formulas).  It returns false whenever it is not sure; callers then run the
// full grammar, which decides and reports errors.  Whatever it accepts, the
// full grammar accepts with the same tree.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "parser/ast.hpp"

namespace morvax::direct {

// Deeper texts are left to the full grammar, which owns the nesting limit.
inline constexpr int kMaxDirectNesting = 64;

// How deep a reading may nest; `exceeded` tells whether the text went deeper
// (the reading then returns false).
struct NestingLimit {
    int max = kMaxDirectNesting;
    bool exceeded = false;
};

// Where a reading took a number or an index from: its place in the text.
// A reading that succeeds notes them in the order of the text, which is the
// order a walk of its tree meets them in.
struct Literal {
    std::size_t start;
    std::size_t length;
    bool index;  // an index's digits, else a number (with its point, separators, percent sign)
};

// `literals`, when given, gets the literals read (also those of a reading
// that fails, which mean nothing then).
bool parse_formula(std::string_view text, Arena& arena, Value& out, NestingLimit& limit,
                   std::vector<Literal>* literals = nullptr);
// An index's digits as the reading takes them: false when too large.
bool index_value(std::string_view digits, Index& out);
bool parse_condition(std::string_view text, Arena& arena, const BooleanExpression*& out,
                     NestingLimit& limit);

inline bool parse_formula(std::string_view text, Arena& arena, Value& out) {
    NestingLimit limit;
    return parse_formula(text, arena, out, limit);
}
inline bool parse_condition(std::string_view text, Arena& arena, const BooleanExpression*& out) {
    NestingLimit limit;
    return parse_condition(text, arena, out, limit);
}

}  // namespace morvax::direct
