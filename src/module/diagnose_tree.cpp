// diagnose_tree(root): every cell of a tree whose value is an error, with
// what caused it, as a list of dicts.
#include <vector>

#include "diagnose/diagnose.hpp"
#include "eval/names.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"
#include "module/records.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}};
constexpr Signature signature{"diagnose_tree", params,
    "diagnose_tree(root)\n--\n\n"
    "Tell where and why the cells of a tree hold errors.\n"
    "\n"
    "root: the root of a tree of node objects, as for evaluate_tree; only read.\n"
    "\n"
    "Evaluates the tree as evaluate_tree does, to the same values.\n"
    "\n"
    "Returns a list with one dict per node and dimension whose value is an error\n"
    "text, in pre-order then dimension order; a node whose value is one text for every\n"
    "dimension has at most one, in dimension 0. Keys: \"id\", \"name\",\n"
    "\"dimension\", \"value\" (the error text), \"cause\" (\"syntax\", \"unknown name\",\n"
    "\"hidden\", \"ambiguous\", \"index out of range\", \"cycle\", \"division by zero\",\n"
    "\"invalid argument\", \"several values\" or \"propagated\"), \"detail\" (a\n"
    "sentence for the user), \"start\" and \"end\" (str indexes of the reference\n"
    "or operator in the node's formula for that dimension) and \"source\": for\n"
    "\"propagated\", a dict of the \"id\", \"name\" and \"dimension\" of the cell the\n"
    "error was read from (follow it to the first cause), else None.\n"
    "\n"
    "Raises what evaluate_tree raises for node objects.\n"
    "\n"
    ">>> from types import SimpleNamespace as Node; tree = Node(name=\"Margin\", formula=\"=@Revenu * 2\", children=[Node(name=\"Revenue\", formula=\"5\", children=[])])\n"
    ">>> [(p[\"cause\"], p[\"detail\"]) for p in diagnose_tree(tree)]\n"
    "[('unknown name', \"no visible node is called 'Revenu'; did you mean @Revenue?\")]"};

class Records {
public:
    bool make() {
        return keys_.make({"id", "name", "dimension", "value", "cause", "detail", "start", "end", "source"}) &&
               source_keys_.make({"id", "name", "dimension"});
    }

    PyRef record(const CellProblem& p, const std::vector<const Node*>& nodes) const {
        const Node& node = *nodes[p.node];
        PyRef source = PyRef::new_ref(Py_None);
        if (p.has_source) {
            const Node& from = *nodes[p.source_node];
            source = source_keys_.record({text_value(from.id), text_value(from.name), size_value(p.source_dimension)});
        }
        return keys_.record({text_value(node.id), text_value(node.name), size_value(p.dimension),
                             text_value(error_text(p.value)), text_value(cause_text(p.cause)), text_value(p.detail),
                             size_value(p.start), size_value(p.end), std::move(source)});
    }

private:
    RecordKeys<9> keys_;
    RecordKeys<3> source_keys_;
};

// New reference: the list of records.
PyRef diagnose_tree(const Arguments& args) {
    Node tree;
    AttributeNames names;
    if (!protocol_to_node(names, args[0].object, tree)) return {};
    SignalInterrupt interrupt;
    const std::vector<CellProblem> problems = morvax::diagnose_tree(tree, false, &interrupt);
    // A tree without errors, the usual answer, needs no record keys made.
    if (problems.empty()) return PyRef::steal(PyList_New(0));
    std::vector<const Node*> nodes;
    for_each_preorder(tree, [&](const Node& n) { nodes.push_back(&n); });
    Records records;
    if (!records.make()) return {};
    return new_list(problems.size(), [&](std::size_t i) { return records.record(problems[i], nodes).release(); });
}

}  // namespace

const PyMethodDef diagnose_tree_method = entry_point<signature, diagnose_tree>();

}  // namespace morvax::module
