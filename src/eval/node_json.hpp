// The compact JSON form of a Node: no whitespace, members in field order,
// AnyDim fields untagged (a single element as itself, a list as an array),
// values as their result texts.
#pragma once

#include <string>

#include "eval/types.hpp"

namespace morvax {

std::string node_to_json(const Node& node);

// Appends `text` as a JSON string: quotation mark and reverse solidus
// escaped, the control characters as \b \t \n \f \r or \u00XX, every other
// byte as it is.
void append_json_string(std::string& out, std::string_view text);

}  // namespace morvax
