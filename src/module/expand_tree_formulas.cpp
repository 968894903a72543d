// expand_tree_formulas(root): a deep copy of the tree in which every reference
// to a computed node is replaced by that node's formula, expanded in turn,
// until only references to input nodes remain.
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"
#include "tree/expand.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}};
constexpr Signature signature{"expand_tree_formulas", params, "expand_tree_formulas(root)\n--\n\n"};

// New reference: a deep copy of `root` with every node's `formula` written,
// changed or not. The caller's objects are never written.
PyRef expand_tree_formulas(const Arguments& args) {
    PyObject* root = args[0].object;
    Node expanded;
    {
        Node tree;
        if (!protocol_to_node(root, tree)) return {};
        TextBudget budget;
        expanded = morvax::expand_tree_formulas(tree, budget);
    }  // the converted tree goes before the copy is made
    return write_back(root, false, NodeField::formula, expanded);
}

}  // namespace

const PyMethodDef expand_tree_formulas_method = entry_point<signature, expand_tree_formulas>();

}  // namespace morvax::module
