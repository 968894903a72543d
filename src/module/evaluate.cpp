// evaluate(formula) and evaluate_boolean(formula): the result text of one
// formula, or of one condition, evaluated without a tree. The two differ only
// in their signature and in what they evaluate.
#include <string>
#include <string_view>

#include "eval/single.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"formula", ParamKind::text}};
constexpr Signature evaluate_signature{"evaluate", params,
    "evaluate(formula)\n--\n\n"
    "Evaluate one formula on its own, without a tree.\n"
    "\n"
    "formula: a stored formula: empty, a bare number (\"42\", \"1,5\", \"5%\") or \"=\"\n"
    "followed by an expression (\"=round(10 / 3; 2)\"). References find no node\n"
    "here: \"@Name\" gives \"REF!\".\n"
    "\n"
    "Returns the result as a str: a number printed with up to ten decimals, \"\"\n"
    "for an empty result, or an error text (\"ERROR!\" when the formula does not\n"
    "parse, \"REF!\", \"MANY!\", \"VALUE!\"). Formula errors never raise; diagnose()\n"
    "tells why a formula does not parse.\n"
    "\n"
    "Raises TypeError when formula is not a str, UnicodeEncodeError when it\n"
    "holds lone surrogates.\n"
    "\n"
    ">>> evaluate(\"=1 + 2 * 3\")\n"
    "'7'\n"
    ">>> evaluate(\"=round(10 / 3; 2)\")\n"
    "'3.33'"};

constexpr Signature evaluate_boolean_signature{"evaluate_boolean", params,
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

// New reference: what `evaluate_text` makes of the formula, as a str.
template <std::string (*evaluate_text)(std::string_view)>
PyRef text_result(const Arguments& args) {
    return PyRef::steal(new_text(evaluate_text(args[0].text)));
}

}  // namespace

const PyMethodDef evaluate_method = entry_point<evaluate_signature, text_result<evaluate_single_formula>>();
const PyMethodDef evaluate_boolean_method =
    entry_point<evaluate_boolean_signature, text_result<evaluate_single_condition>>();

}  // namespace morvax::module
