// evaluate_tree(root, in_place=False): every formula of a tree evaluated in
// every dimension, the results written as text into each node's `value`.
#include "eval/tree_evaluation.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}, {"in_place", ParamKind::flag}};
constexpr Signature signature{"evaluate_tree", params,
    "evaluate_tree(root, in_place=False)\n--\n\n"
    "Evaluate every formula of a tree of node objects, in every dimension.\n"
    "\n"
    "root: the root of a tree of your objects, each with the attributes name\n"
    "(str), formula (a str, or a sequence of str such as a list: one formula\n"
    "per dimension) and children (a list of node objects); id (str),\n"
    "is_hidden (bool) and cells are read when present. An id that is not a\n"
    "str counts as \"\".\n"
    "in_place: write the values onto your objects and return root itself;\n"
    "with False (the default) a copy.deepcopy of root gets them and is returned.\n"
    "\n"
    "Returns the tree with every node's value written as text: one str when it\n"
    "is the same in every dimension, else a list of str. Formula errors are\n"
    "error texts in the values; diagnose_tree() tells where they come from.\n"
    "\n"
    "Raises TypeError for a node object that breaks the node protocol (a name\n"
    "that is not a str, a children that is not a list, ...), ValueError for a\n"
    "node that is its own descendant, and passes on what your objects (and\n"
    "copy.deepcopy) raise.\n"
    "\n"
    ">>> from types import SimpleNamespace as Node\n"
    ">>> evaluate_tree(Node(name=\"A\", formula=\"=2 * 3\", children=[])).value\n"
    "'6'"};

// New reference: `root` itself when in place, else a deep copy taken by
// copy.deepcopy after the evaluation, from the caller's unchanged objects.
// A signal handler that raises (Ctrl-C) ends the call before anything is
// written.
PyRef evaluate_tree(const Arguments& args) {
    PyObject* root = args[0].object;
    FlatTree tree;
    std::vector<PyRef> texts_held;  // the strs the tree's texts view
    AttributeNames names;  // shared by the read and the write
    if (!protocol_to_flat_tree(names, root, tree, texts_held)) return {};
    SignalInterrupt interrupt;
    TreeEvaluation evaluation(std::move(tree), &interrupt);
    texts_held = std::vector<PyRef>();  // the formula table has made what it needs of the texts
    evaluation.evaluate_all();
    if (evaluation.interrupted()) return {};
    evaluation.finish();
    return write_back_values(names, root, args[1].flag, evaluation);
}

}  // namespace

const PyMethodDef evaluate_tree_method = entry_point<signature, evaluate_tree>();

}  // namespace morvax::module
