// Entry points for one formula text without a tree: parse, evaluate against
// the empty context and print the outcome the way the module returns it.
#pragma once

#include <string>
#include <string_view>

namespace morvax {

// Result text of a formula: a number, "", an error text, or "ERROR!" when the
// text does not parse.
std::string evaluate_single_formula(std::string_view text);

// "true", "false", an error text, or "ERROR!" when the condition does not parse.
std::string evaluate_single_condition(std::string_view text);

}  // namespace morvax
