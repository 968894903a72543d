// Translation of one parsed formula into spreadsheet syntax: every reference
// becomes the address of the cell that holds the referenced node's value, and
// every construct the spreadsheet construct that computes the same thing.
// The text has no leading "=" and no spaces of its own.
//
// Failures are values.  Function arguments and conditional results embed
// their error text ("ABS(REF!)") and the translation goes on; anywhere else
// the first failure ends the translation of the whole formula.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "eval/names.hpp"
#include "eval/types.hpp"
#include "parser/ast.hpp"

namespace morvax {

// Only Ref, Many and Value occur; error_text is the evaluator's.
using ConvertError = EvalError;

// A translation: the spreadsheet text, or the failure that stopped it.
struct Converted {
    std::string text;
    std::optional<ConvertError> error;

    bool ok() const { return !error.has_value(); }
    // The text, or the error's text in its place.
    std::string text_or_error() const {
        return ok() ? text : std::string(error_text(*error));
    }
};

// The nodes the names of one formula found, kept while that formula is
// translated for each dimension of its node: which nodes a name finds does
// not depend on the dimension. Keyed by where the formula's syntax tree
// holds each name, so it is cleared whenever the formula changes.
class NameLookups {
public:
    // found(name) when `name` was not asked for before; a formula naming
    // many nodes is looked up anew each time beyond the first few.
    template <class Find>
    std::span<const Node* const> find(std::string_view name, Find&& found) {
        for (const Entry& e : entries_) {
            if (e.name.data() == name.data() && e.name.size() == name.size()) return e.nodes;
        }
        const std::span<const Node* const> nodes = found(name);
        if (entries_.size() < kMost) entries_.push_back({name, nodes});
        return nodes;
    }
    void clear() { entries_.clear(); }

private:
    static constexpr std::size_t kMost = 16;
    struct Entry {
        std::string_view name;
        std::span<const Node* const> nodes;
    };
    std::vector<Entry> entries_;
};

// Everything the translation of one formula needs; it owns nothing.
struct ConversionContext {
    const Node& node;          // whose formula is translated
    std::size_t dimension = 0; // the cell being produced
    // The tree's root, through its name lookup (built once per export).
    const NameIndex* root = nullptr;
    // Whether a children or right reference may stand for several cells.
    bool allow_multiple = false;

    // The names the formula looked up so far, when the caller keeps them.
    NameLookups* lookups = nullptr;

    // The name lookup; the export always sets it, so a missing one is a bug.
    const NameIndex& names() const;
    // The visible nodes named `name`, through `lookups` when set.
    std::span<const Node* const> find(std::string_view name) const;
};

Converted convert_expression(const Expression& e, const ConversionContext& ctx);
// The same appended to `out`, which holds part of the text when it fails.
std::optional<ConvertError> append_expression(const Expression& e, const ConversionContext& ctx, std::string& out);

// The address of `node` for `dimension` in its `cells`: its single address
// whatever the dimension, or the list entry.  Nothing (a Ref failure) when
// the list is too short or the address is empty.
std::optional<std::string_view> cell_at(const Node& node, std::size_t dimension);

// The one bare operand of `e` (no operators, no sign), or null.
const AtomicExpression* expr_as_atomic(const Expression& e);

}  // namespace morvax
