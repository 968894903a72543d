// The spreadsheet export of a Node tree: every laid-out node's addresses in
// `cells` are replaced by the texts to put into those cells, a translated
// formula or a plain value.
#pragma once

#include <string>
#include <string_view>

#include "eval/interrupt.hpp"
#include "eval/types.hpp"
#include "excel/convert.hpp"

namespace morvax {

// Rewrites `cells` on `node` and all its descendants; names are looked up in
// the tree of `root`.  A node without addresses keeps its `cells`.  Every
// translation reads the addresses as they were laid out: the texts are all
// made before any is stored, so the order of the nodes cannot change one.
void convert_tree(Node& node, const Node& root, Interrupt* interrupt = nullptr);

// The cell text of one formula text in the context's node and dimension:
// empty, "=" and a translation, an error text, or a literal value.
std::string formula_cell_text(std::string_view formula, const ConversionContext& ctx);

// A formula that does not begin with "=": a number normalised (a percentage
// stays a formula, "=0.05"), any other text trimmed.
std::string literal_cell_text(std::string_view formula);

// The whole export: convert_tree from the root.
// Once `interrupt` (when given) says stop, throws Interrupted.
void export_tree_cells(Node& root, Interrupt* interrupt = nullptr);

}  // namespace morvax
