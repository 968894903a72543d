// evaluate_boolean(formula): "true", "false" or an error text for one condition.
#include "eval/single.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"formula", ParamKind::text}};
constexpr Signature signature{"evaluate_boolean", params,
    "evaluate_boolean(formula)\n--\n\n"
    "Evaluate one condition on its own, without a tree.\n"
    "\n"
    "formula: a condition without a leading \"=\": comparisons (\"==\", \"!=\" or\n"
    "\"<>\", \"<\", \">\", \"<=\", \">=\"), \"and\", \"or\", \"not\" and parentheses; a bare\n"
    "expression is true when it is a number other than 0.\n"
    "\n"
    "Returns the str \"true\" or \"false\", or an error text (\"ERROR!\" when the\n"
    "condition does not parse, \"VALUE!\" for a comparison with an empty value).\n"
    "\n"
    "Raises TypeError when formula is not a str, UnicodeEncodeError when it\n"
    "holds lone surrogates.\n"
    "\n"
    ">>> evaluate_boolean(\"1 < 2 and not 3 > 4\")\n"
    "'true'\n"
    ">>> evaluate_boolean(\"2 + 2 == 5\")\n"
    "'false'"};

// New reference: the result as a str.
PyRef evaluate_boolean(const Arguments& args) {
    return PyRef::steal(new_text(evaluate_single_condition(args[0].text)));
}

}  // namespace

const PyMethodDef evaluate_boolean_method = entry_point<signature, evaluate_boolean>();

}  // namespace morvax::module
