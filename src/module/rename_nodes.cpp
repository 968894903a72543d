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
                              "rename_nodes(old_root, new_root, in_place=False)\n--\n\n"};

// New reference: `new_root` itself when in place, else a deep copy of it; in
// both every node's `formula` is written. `old_root` is only read.
PyRef rename_nodes(const Arguments& args) {
    PyObject* new_root = args[1].object;
    Node new_tree;
    {
        Node old_tree;
        if (!protocol_to_node(args[0].object, old_tree) || !protocol_to_node(new_root, new_tree)) {
            return {};
        }
        TextBudget budget;
        replace_references_in_tree(new_tree, build_rename_table(old_tree, new_tree), budget);
    }
    return write_back(new_root, args[2].flag, NodeField::formula, new_tree);
}

}  // namespace

const PyMethodDef rename_nodes_method = entry_point<signature, rename_nodes>();

}  // namespace morvax::module
