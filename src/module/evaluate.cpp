// evaluate(formula): the result text of one formula, evaluated without a tree.
#include "eval/single.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"formula", ParamKind::text}};
constexpr Signature signature{"evaluate", params,
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

// New reference: the result as a str.
PyRef evaluate(const Arguments& args) {
    return PyRef::steal(new_text(evaluate_single_formula(args[0].text)));
}

}  // namespace

const PyMethodDef evaluate_method = entry_point<signature, evaluate>();

}  // namespace morvax::module
