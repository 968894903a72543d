// export_tree_to_excel(root, in_place=False): every laid-out node's addresses
// in `cells` replaced by the texts to put into those spreadsheet cells.
#include "excel/export.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}, {"in_place", ParamKind::flag}};
constexpr Signature signature{"export_tree_to_excel", params,
    "export_tree_to_excel(root, in_place=False)\n--\n\n"
    "Turn a tree's formulas into spreadsheet formulas over cell addresses.\n"
    "\n"
    "root: the root of a tree of node objects, as for evaluate_tree, whose\n"
    "cells hold the address of each node's cell (\"B2\"), or one address per\n"
    "dimension; a node without addresses keeps its cells (an empty list when\n"
    "it had none).\n"
    "in_place: write onto your objects and return root itself; with False (the\n"
    "default) a copy.deepcopy of root gets the texts and is returned.\n"
    "\n"
    "Returns the tree with every cells address replaced by the text to put in\n"
    "that cell: a formula over the other nodes' addresses (\"=B2*B3\"), a number,\n"
    "a text, \"\" for an empty cell, or an error text (\"REF!\", \"MANY!\",\n"
    "\"VALUE!\", \"ERROR!\").\n"
    "\n"
    "Raises what evaluate_tree raises for node objects.\n"
    "\n"
    ">>> from types import SimpleNamespace as Node; tree = Node(name=\"Sum\", formula=\"=@A * 2\", cells=\"B3\", children=[Node(name=\"A\", formula=\"5\", cells=\"B2\", children=[])])\n"
    ">>> export_tree_to_excel(tree).cells\n"
    "'=B2*2'"};

// New reference: `root` itself when in place, else a deep copy taken after the
// export from the caller's unchanged objects.
PyRef export_tree_to_excel(const Arguments& args) {
    PyObject* root = args[0].object;
    Node tree;
    AttributeNames names;  // shared by the read and the write
    if (!protocol_to_node(names, root, tree)) return {};
    SignalInterrupt interrupt;
    export_tree_cells(tree, &interrupt);
    return write_back(names, root, args[1].flag, NodeField::cells, tree);
}

}  // namespace

const PyMethodDef export_tree_to_excel_method = entry_point<signature, export_tree_to_excel>();

}  // namespace morvax::module
