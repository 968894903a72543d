// evaluate_tree(root, in_place=False): every formula of a tree evaluated in
// every dimension, the results written as text into each node's `value`.
#include "eval/tree.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}, {"in_place", ParamKind::flag}};
constexpr Signature signature{"evaluate_tree", params, "evaluate_tree(root, in_place=False)\n--\n\n"};

// New reference: `root` itself when in place, else a deep copy taken by
// copy.deepcopy after the evaluation, from the caller's unchanged objects.
// A signal handler that raises (Ctrl-C) ends the call before anything is
// written.
PyRef evaluate_tree(const Arguments& args) {
    PyObject* root = args[0].object;
    FlatTree tree;
    if (!protocol_to_flat_tree(root, tree)) return {};
    Interrupt interrupt(signal_raised, nullptr);
    TreeEvaluation evaluation(std::move(tree), &interrupt);
    evaluation.evaluate_all();
    if (evaluation.interrupted()) return {};
    evaluation.finish();
    return write_back_values(root, args[1].flag, evaluation);
}

}  // namespace

const PyMethodDef evaluate_tree_method = entry_point<signature, evaluate_tree>();

}  // namespace morvax::module
