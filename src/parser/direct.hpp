// The fast way in: builds the syntax tree straight from the text, without
// parse nodes, for the texts whose parse it can be sure of (nearly all valid
// formulas).  It returns false whenever it is not sure; callers then run the
// full grammar, which decides and reports errors.  Whatever it accepts, the
// full grammar accepts with the same tree.
#pragma once

#include <string_view>

#include "parser/ast.hpp"

namespace morvax::direct {

bool parse_formula(std::string_view text, Arena& arena, Value& out);
bool parse_condition(std::string_view text, Arena& arena, const BooleanExpression*& out);

}  // namespace morvax::direct
