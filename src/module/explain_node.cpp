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
constexpr Signature signature{"explain_node", params, "explain_node(root, node_id)\n--\n\n"};

// New reference: the explanation as json.loads gives it, or None.
PyRef explain_node(const Arguments& args) {
    std::string json;
    {
        Node tree;
        if (!protocol_to_node(args[0].object, tree)) return {};
        TextBudget budget;
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
