// A compact, unambiguous text of a syntax tree, for tests and for checking
// that two ways of parsing agree.
#pragma once

#include <string>

#include "parser/ast.hpp"

namespace morvax {

std::string dump(const Value& value);
std::string dump(const BooleanExpression& condition);

}  // namespace morvax
