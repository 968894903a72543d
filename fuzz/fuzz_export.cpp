// Feeds arbitrary bytes to the spreadsheet export: as the formula of nodes
// with one and with several addresses in a small fixed tree, and as an
// address text.  No input may crash, hang or trip a sanitizer, and the cell
// texts must keep the form of the addresses they replace.
#include "excel/export.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using morvax::AnyDim;
using morvax::Node;

Node leaf(std::string name, AnyDim<std::string> cells, AnyDim<std::string> formula) {
    Node n;
    n.name = std::move(name);
    n.cells = std::move(cells);
    n.formula = std::move(formula);
    return n;
}

AnyDim<std::string> one(std::string text) { return AnyDim<std::string>::single(std::move(text)); }
AnyDim<std::string> list(std::vector<std::string> texts) {
    return AnyDim<std::string>::multi(std::move(texts));
}

// Names the dictionary's references reach: A, Self, duplicates, a hidden node,
// children with and without addresses, three dimensions.
Node tree(const std::string& input) {
    Node root = leaf("root", list({"R1", "R2", "R3"}), one(input));
    root.children.push_back(leaf("A", one("A1"), one("1")));
    root.children.push_back(leaf("Other node", list({"B1", "B2", "B3"}), one(input)));
    root.children.push_back(leaf("Other node", list({input, "C2"}), list({input, "=@A"})));
    Node hidden = leaf("A", one("D1"), one(input));
    hidden.is_hidden = true;
    root.children.push_back(std::move(hidden));
    root.children.push_back(leaf("E", one(input), list({"=children", input})));
    root.children.back().children.push_back(leaf("F", list({}), one(input)));
    return root;
}

bool same_form(const AnyDim<std::string>& before, const AnyDim<std::string>& after) {
    return before.is_single() == after.is_single() && before.dimensions() == after.dimensions();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    Node root = tree(input);
    const Node before = root.clone();
    morvax::export_tree_cells(root);

    std::vector<const Node*> todo{&root}, was{&before};
    while (!todo.empty()) {
        const Node* n = todo.back();
        const Node* b = was.back();
        todo.pop_back();
        was.pop_back();
        if (!same_form(b->cells, n->cells)) std::abort();
        for (std::size_t i = 0; i < n->children.size(); ++i) {
            todo.push_back(&n->children[i]);
            was.push_back(&b->children[i]);
        }
    }
    (void)morvax::literal_cell_text(input);
    return 0;
}
