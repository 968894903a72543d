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
                              "export_tree_to_excel(root, in_place=False)\n--\n\n"};

// New reference: `root` itself when in place, else a deep copy taken after the
// export from the caller's unchanged objects.
PyRef export_tree_to_excel(const Arguments& args) {
    PyObject* root = args[0].object;
    Node tree;
    if (!protocol_to_node(root, tree)) return {};
    export_tree_cells(tree);
    return write_back(root, args[1].flag, NodeField::cells, tree);
}

}  // namespace

const PyMethodDef export_tree_to_excel_method = entry_point<signature, export_tree_to_excel>();

}  // namespace morvax::module
