// evaluate(formula): the result text of one formula, evaluated without a tree.
#include "eval/single.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"formula", ParamKind::text}};
constexpr Signature signature{"evaluate", params, "evaluate(formula)\n--\n\n"};

// New reference: the result as a str.
PyRef evaluate(const Arguments& args) {
    return PyRef::steal(new_text(evaluate_single_formula(args[0].text)));
}

}  // namespace

const PyMethodDef evaluate_method = entry_point<signature, evaluate>();

}  // namespace morvax::module
