// evaluate_boolean(formula): "true", "false" or an error text for one condition.
#include "eval/single.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"formula", ParamKind::text}};
constexpr Signature signature{"evaluate_boolean", params, "evaluate_boolean(formula)\n--\n\n"};

// New reference: the result as a str.
PyRef evaluate_boolean(const Arguments& args) {
    return PyRef::steal(new_text(evaluate_single_condition(args[0].text)));
}

}  // namespace

const PyMethodDef evaluate_boolean_method = entry_point<signature, evaluate_boolean>();

}  // namespace morvax::module
