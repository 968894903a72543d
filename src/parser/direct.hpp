// The fast way in: builds the syntax tree straight from the text, without
// parse nodes, for the texts whose parse it can be sure of (nearly all valid
// formulas).  It returns false whenever it is not sure; callers then run the
// full grammar, which decides and reports errors.  Whatever it accepts, the
// full grammar accepts with the same tree.
#pragma once

#include <string_view>

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

bool parse_formula(std::string_view text, Arena& arena, Value& out, NestingLimit& limit);
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
