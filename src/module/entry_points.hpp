// The method definitions of the module functions, one source file each.
#pragma once

#include <Python.h>

namespace morvax::module {

extern const PyMethodDef evaluate_method;
extern const PyMethodDef evaluate_boolean_method;
extern const PyMethodDef evaluate_tree_method;
extern const PyMethodDef get_tokens_method;
extern const PyMethodDef rename_nodes_method;
extern const PyMethodDef expand_tree_formulas_method;
extern const PyMethodDef explain_node_method;
extern const PyMethodDef export_tree_to_excel_method;
extern const PyMethodDef diagnose_method;
extern const PyMethodDef diagnose_tree_method;

}  // namespace morvax::module
