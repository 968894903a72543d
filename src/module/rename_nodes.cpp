// rename_nodes(old_root, new_root, in_place=False): the references that the
// new tree's formulas wrote against the old tree, changed to reach the same
// nodes (matched by id) under their names in the new tree.
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"
#include "tree/rename.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"old_root", ParamKind::object},
                            {"new_root", ParamKind::object},
                            {"in_place", ParamKind::flag}};
constexpr Signature signature{"rename_nodes", params,
    "rename_nodes(old_root, new_root, in_place=False)\n--\n\n"
    "Carry renamed, moved and deleted nodes into the formulas that refer to them.\n"
    "\n"
    "old_root: the tree before the edit; only read.\n"
    "new_root: the tree after it. Nodes of the two trees are matched by their\n"
    "id (str; nodes without one all share the id \"\").\n"
    "in_place: rewrite new_root's own formulas and return new_root; with False\n"
    "(the default) a copy.deepcopy of new_root is rewritten and returned.\n"
    "\n"
    "Returns the new tree, every formula written: each reference written\n"
    "exactly as a node's unambiguous name in the old tree (\"@Cost\",\n"
    "\"@{Gross margin}\", \"@Cost[2]\") becomes the name that reaches the same node\n"
    "in the new tree; a reference that would now reach another node becomes\n"
    "\"REF!\".\n"
    "\n"
    "Raises what evaluate_tree raises for node objects.\n"
    "\n"
    ">>> from types import SimpleNamespace as Node; old = Node(id=\"t\", name=\"Total\", formula=\"=@Cost\", children=[Node(id=\"c\", name=\"Cost\", formula=\"5\", children=[])])\n"
    ">>> rename_nodes(old, Node(id=\"t\", name=\"Total\", formula=\"=@Cost\", children=[Node(id=\"c\", name=\"Costs\", formula=\"5\", children=[])])).formula\n"
    "'=@Costs'"};

// New reference: `new_root` itself when in place, else a deep copy of it; in
// both every node's `formula` is written. `old_root` is only read.
PyRef rename_nodes(const Arguments& args) {
    PyObject* new_root = args[1].object;
    AttributeNames names;  // shared by the reads and the write
    Node old_tree;
    FlatTree new_tree;
    std::vector<PyRef> held;  // the new tree's strs, one per distinct formula text, by its id
    std::vector<std::string> ids;
    if (!protocol_to_node(names, args[0].object, old_tree, false) ||
        !protocol_to_flat_tree(names, new_root, new_tree, held, &ids)) {
        return {};
    }
    // Each distinct formula text is rewritten once, and every formula of
    // that text gets the same str: the caller's own where nothing changed.
    std::vector<PyRef> texts(new_tree.texts().size());
    {
        SignalInterrupt interrupt;
        TextBudget budget(interrupt);
        NodesById before(old_tree);
        NodesById after(new_tree, ids);
        const RenameTable table = build_rename_table(before, after);
        for (std::uint32_t id = 0; id < texts.size(); ++id) {
            const std::string_view text = new_tree.texts().text(id);
            const std::optional<std::string> changed = rewritten(text, table, budget);
            // A str subclass is the caller's own type: the formulas written are str.
            if (!changed && PyUnicode_CheckExact(held[id].get())) {
                texts[id] = std::move(held[id]);
                continue;
            }
            texts[id] = PyRef::steal(new_text(changed ? *changed : text));
            if (!texts[id]) return {};
        }
    }
    return write_back_formulas(names, new_root, args[2].flag, new_tree, texts);
}

}  // namespace

const PyMethodDef rename_nodes_method = entry_point<signature, rename_nodes>();

}  // namespace morvax::module
