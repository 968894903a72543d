// evaluate_tree(root, in_place=False): every formula of a tree evaluated in
// every dimension, the results written as text into each node's `value`.
#include <optional>

#include "eval/tree.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/lock_released.hpp"
#include "module/node_protocol.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}, {"in_place", ParamKind::flag}};
constexpr Signature signature{"evaluate_tree", params, "evaluate_tree(root, in_place=False)\n--\n\n"};

// New reference: `root` itself when in place, else a deep copy taken after the
// evaluation from the caller's unchanged objects.
PyRef evaluate_tree(const Arguments& args) {
    PyObject* root = args[0].object;
    FlatTree tree;
    if (!protocol_to_flat_tree(root, tree)) return {};
    std::optional<TreeEvaluation> evaluation;
    with_lock_released([&] {
        evaluation.emplace(std::move(tree));
        evaluation->evaluate_all();
    });
    return write_back_values(root, args[1].flag, *evaluation);
}

}  // namespace

const PyMethodDef evaluate_tree_method = entry_point<signature, evaluate_tree>();

}  // namespace morvax::module
