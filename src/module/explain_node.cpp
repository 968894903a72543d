// explain_node(root, node_id): one node with its formula expanded down to
// input nodes and, as its children, the nodes that formula names, as plain
// dictionaries and lists; None when no node has the id.
#include <optional>
#include <string>
#include <string_view>

#include "eval/node_json.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"
#include "tree/explain.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}, {"node_id", ParamKind::text}};
constexpr Signature signature{"explain_node", params,
    "explain_node(root, node_id)\n--\n\n"
    "Tell how one node's value comes about, as plain data.\n"
    "\n"
    "root: the root of a tree of node objects, as for evaluate_tree; only read.\n"
    "node_id: the id (str) of the node to explain; the first in pre-order wins.\n"
    "\n"
    "Returns None when no node has that id, else a dict with the keys id, name,\n"
    "formula (expanded as expand_tree_formulas expands it), value (empty: nothing\n"
    "is evaluated), is_hidden, cells and children: the nodes the expanded\n"
    "formula names, each once and without children of its own.\n"
    "\n"
    "Raises TypeError when node_id is not a str, and what evaluate_tree raises\n"
    "for node objects.\n"
    "\n"
    ">>> from types import SimpleNamespace as Node; tree = Node(id=\"a\", name=\"A\", formula=\"=@B * 2\", children=[Node(id=\"b\", name=\"B\", formula=\"5\", children=[])])\n"
    ">>> [child[\"name\"] for child in explain_node(tree, \"a\")[\"children\"]]\n"
    "['B']"};

// New reference: the explanation as json.loads gives it, or None.
PyRef explain_node(const Arguments& args) {
    std::string json;
    {
        Node tree;
        AttributeNames names;
        if (!protocol_to_node(names, args[0].object, tree)) return {};
        SignalInterrupt interrupt;
        TextBudget budget(interrupt);
        const std::optional<Node> explained = morvax::explain_node(tree, args[1].text, budget);
        if (!explained) return PyRef::new_ref(Py_None);
        json = node_to_json(*explained);
    }
    PyRef text = PyRef::steal(new_text(json));
    if (!text) return {};
    return call_module_function("json", "loads", text.get());
}

}  // namespace

const PyMethodDef explain_node_method = entry_point<signature, explain_node>();

}  // namespace morvax::module
