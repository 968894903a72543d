// Node references as texts: checking that a text is exactly one reference,
// choosing how a node name is written, making it unambiguous with an index,
// and reading a reference back.  Nothing is escaped: a name that fits neither
// written form cannot be referenced, and the helpers say so by giving nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "parser/ast.hpp"
#include "parser/parse.hpp"

namespace morvax {

// A node reference read from a text.  Owns its name: callers keep it after
// the text is gone.
struct OwnedNodeReference {
    std::string name;
    Index index;

    bool operator==(const OwnedNodeReference&) const = default;
};

// True when `text` is one whole reference and nothing else: no spaces around
// it, no second operand, no unrecognised character.
bool is_valid_node_reference(std::string_view text);

// "@name" or else "@{name}", whichever is a valid reference that reads back as
// exactly this name without an index; nothing for the empty name or a name
// that neither form holds.
std::optional<std::string> get_preferred_reference_format(std::string_view name);

// The preferred form followed by "[occurrence]" when `count` nodes share the
// name; the empty string when the name has no written form.
std::string build_unambiguous_name(std::string_view name, std::size_t occurrence,
                                   std::size_t count);

// The same from a written form already worked out (`written` is what
// get_preferred_reference_format gave, or empty), for callers that meet each
// name many times.
std::string add_occurrence(std::string written, std::size_t occurrence, std::size_t count);

// The reference at the very start of `text`; whatever follows it is ignored.
ParseResult<OwnedNodeReference> parse_node_reference_from_str(std::string_view text);

}  // namespace morvax
