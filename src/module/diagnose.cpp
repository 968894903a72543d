// diagnose(formula): why a formula text does not parse, as a dict; None
// when it parses.
#include "diagnose/diagnose.hpp"
#include "module/entry_points.hpp"
#include "module/records.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"formula", ParamKind::text}};
constexpr Signature signature{"diagnose", params,
    "diagnose(formula)\n--\n\n"
    "Tell why a formula text does not parse.\n"
    "\n"
    "formula: a stored formula, as evaluate takes it.\n"
    "\n"
    "Returns None when the formula parses. Otherwise a dict: \"message\", the\n"
    "parser's message; \"start\" and \"end\", str indexes such that\n"
    "formula[start:end] is the offending text (empty at the end of the text);\n"
    "\"hint\", advice for a common slip (a \",\" between arguments, an exponent, a\n"
    "missing \"=\" or \")\", an unknown function), or None.\n"
    "\n"
    "Raises TypeError when formula is not a str, UnicodeEncodeError when it\n"
    "holds lone surrogates.\n"
    "\n"
    ">>> diagnose(\"=round(1,5, 2)\")[\"hint\"]\n"
    "\"arguments are separated by ';', not ',' (a ',' belongs to numbers: 1,5 is one and a half)\"\n"
    ">>> diagnose(\"=round(1,5; 2)\") is None\n"
    "True"};

// New reference: the dict, or None.
PyRef diagnose(const Arguments& args) {
    const std::optional<FormulaProblem> problem = diagnose_formula(args[0].text);
    if (!problem) return PyRef::new_ref(Py_None);
    RecordKeys<4> keys;
    if (!keys.make({"message", "start", "end", "hint"})) return {};
    PyRef hint = problem->hint.empty() ? PyRef::new_ref(Py_None) : text_value(problem->hint);
    return keys.record({text_value(problem->message), size_value(problem->start), size_value(problem->end),
                        std::move(hint)});
}

}  // namespace

const PyMethodDef diagnose_method = entry_point<signature, diagnose>();

}  // namespace morvax::module
