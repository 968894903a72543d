// The module morvax_formulas: multi-phase initialisation, no per-module state,
// no method table in the definition; the exec step adds the functions.
#include "module/boundary.hpp"
#include "module/entry_points.hpp"

namespace morvax::module {
namespace {

// The functions in registration order, which is also the order of __all__.
constexpr const PyMethodDef* functions[] = {
    &evaluate_method,
    &evaluate_boolean_method,
    &evaluate_tree_method,
    &get_tokens_method,
    &rename_nodes_method,
    &expand_tree_formulas_method,
    &explain_node_method,
    &export_tree_to_excel_method,
    &diagnose_method,
    &diagnose_tree_method,
};

constexpr const char module_doc[] =
    "A formula engine for trees of named nodes.\n"
    "\n"
    "Formulas use a small spreadsheet-like language (\"=@Units * @Price\",\n"
    "\"=sum(children)\", \"=iferror(@A / @B; 0)\"). A tree is made of your own\n"
    "objects with name, formula and children; values come back as texts.\n"
    "\n"
    "Functions: evaluate, evaluate_boolean, evaluate_tree, get_tokens,\n"
    "rename_nodes, expand_tree_formulas, explain_node, export_tree_to_excel,\n"
    "diagnose and diagnose_tree. Formula errors are the texts \"ERROR!\",\n"
    "\"REF!\", \"MANY!\" and \"VALUE!\", never exceptions; diagnose and\n"
    "diagnose_tree tell where they come from.";

int exec_module(PyObject* module) noexcept {
    if (add_functions(module, functions) < 0) return -1;
    return PyModule_AddStringConstant(module, "__version__", MORVAX_VERSION);
}

// The interpreter only reads the slots; its API just lacks the const.
const PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // Nothing is shared between interpreters: PanicException lives in each
    // interpreter's own dict.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

// Must be writable: PyModuleDef_Init stamps the interpreter's bookkeeping into
// it on first import. Nothing in this module writes it.
PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "morvax_formulas",                       // m_name
    module_doc,                              // m_doc
    0,                                       // m_size
    nullptr,                                 // m_methods
    const_cast<PyModuleDef_Slot*>(slots),    // m_slots
    nullptr,                                 // m_traverse
    nullptr,                                 // m_clear
    nullptr,                                 // m_free
};

}  // namespace
}  // namespace morvax::module

// Borrowed: the static definition as an object; the interpreter builds the module from it.
PyMODINIT_FUNC PyInit_morvax_formulas() { return PyModuleDef_Init(&morvax::module::definition); }
