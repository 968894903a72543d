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
constexpr Signature signature{"expand_tree_formulas", params,
    "expand_tree_formulas(root)\n--\n\n"
    "Replace references to computed nodes by their formulas, down to inputs.\n"
    "\n"
    "root: the root of a tree of node objects, as for evaluate_tree; only read.\n"
    "\n"
    "Returns a copy.deepcopy of root whose every formula is expanded: a\n"
    "reference to a node whose formula refers to others becomes that formula in\n"
    "parentheses, itself expanded. Nothing is evaluated.\n"
    "\n"
    "Raises what evaluate_tree raises for node objects, and MemoryError when\n"
    "the expanded texts pass 1 GiB (the expansion can grow exponentially).\n"
    "\n"
    ">>> from types import SimpleNamespace as Node; tree = Node(name=\"A\", formula=\"=@B * 2\", children=[Node(name=\"B\", formula=\"=@C + 1\", children=[]), Node(name=\"C\", formula=\"5\", children=[])])\n"
    ">>> expand_tree_formulas(tree).formula\n"
    "'=(@C + 1) * 2'"};

// New reference: a deep copy of `root` with every node's `formula` written,
// changed or not. The caller's objects are never written.
PyRef expand_tree_formulas(const Arguments& args) {
    PyObject* root = args[0].object;
    AttributeNames names;  // shared by the read and the write
    Node expanded;
    {
        Node tree;
        if (!protocol_to_node(names, root, tree)) return {};
        SignalInterrupt interrupt;
        TextBudget budget(interrupt);
        expanded = morvax::expand_tree_formulas(tree, budget);
    }  // the converted tree goes before the copy is made
    return write_back(names, root, false, NodeField::formula, expanded);
}

}  // namespace

const PyMethodDef expand_tree_formulas_method = entry_point<signature, expand_tree_formulas>();

}  // namespace morvax::module
