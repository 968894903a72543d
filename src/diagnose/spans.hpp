// Where the parts of a parsed formula stand in its text. The syntax tree
// keeps no positions (the evaluation never needs them), so they are found
// again, only for formulas that failed: a walk of the tree in text order
// beside the formula's tokens, which come in the same order.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>

#include "parser/ast.hpp"

namespace morvax {

struct ByteSpan {
    std::size_t start = 0;
    std::size_t end = 0;
};

// Keyed by the address of the part in the syntax tree: node references
// (also a modifier's), children and right references, modifier, function,
// aggregation and conditional calls (name to closing parenthesis), the
// division and modulo operations (their operator) and comparisons (their
// operator). `value` must be the parse of `text`.
std::unordered_map<const void*, ByteSpan> locate_parts(std::string_view text, const Value& value);

}  // namespace morvax
