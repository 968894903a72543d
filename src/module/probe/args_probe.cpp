// morvax_args_probe: a test-only extension module (built with the C++ tests,
// never shipped) that runs the shared argument layer and exception mapping
// with every parameter shape the module functions use. Each function returns
// what it was given, as taken: objects as they are, texts decoded back from
// their UTF-8 form, flags as bool.
#include "module/boundary.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace morvax::module {
namespace {

// New reference: a tuple of the arguments taken for `signature`.
template <const Signature& signature>
PyRef echo(const Arguments& args) {
    const auto count = static_cast<Py_ssize_t>(signature.params.size());
    PyRef result = PyRef::steal(PyTuple_New(count));
    if (!result) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Argument& arg = args[static_cast<std::size_t>(i)];
        PyRef item;
        switch (signature.params[static_cast<std::size_t>(i)].kind) {
            case ParamKind::text: item = PyRef::steal(new_text(arg.text)); break;
            case ParamKind::flag: item = PyRef::steal(PyBool_FromLong(arg.flag)); break;
            case ParamKind::object: item = PyRef::new_ref(arg.object); break;
        }
        if (!item) return {};
        PyTuple_SET_ITEM(result.get(), i, item.release());
    }
    return result;
}

constexpr Param text_params[] = {{"formula", ParamKind::text}};
constexpr Signature text_signature{"get_tokens", text_params, "get_tokens(formula)\n--\n\n"
                                   "The argument layer with this shape, for tests."};

constexpr Param tree_params[] = {{"root", ParamKind::object}, {"in_place", ParamKind::flag}};
constexpr Signature tree_signature{"evaluate_tree", tree_params,
                                   "evaluate_tree(root, in_place=False)\n--\n\n"
                                   "The argument layer with this shape, for tests."};

constexpr Param pair_params[] = {{"old_root", ParamKind::object},
                                 {"new_root", ParamKind::object},
                                 {"in_place", ParamKind::flag}};
constexpr Signature pair_signature{"rename_nodes", pair_params,
                                   "rename_nodes(old_root, new_root, in_place=False)\n--\n\n"
                                   "The argument layer with this shape, for tests."};

constexpr Param node_params[] = {{"root", ParamKind::object}, {"node_id", ParamKind::text}};
constexpr Signature node_signature{"explain_node", node_params,
                                   "explain_node(root, node_id)\n--\n\n"
                                   "The argument layer with this shape, for tests."};

// Throws the C++ exception named by `kind`, to check how the boundary maps it.
constexpr Param fault_params[] = {{"kind", ParamKind::text}};
constexpr Signature fault_signature{"fault", fault_params, "fault(kind)\n--\n\n"
                                   "The argument layer with this shape, for tests."};
PyRef fault(const Arguments& args) {
    const std::string_view kind = args[0].text;
    if (kind == "memory") throw std::bad_alloc();
    if (kind == "logic") throw std::logic_error("probe fault: " + std::string(kind));
    if (kind == "unknown") throw 42;
    return PyRef::new_ref(Py_None);
}

const PyMethodDef text_method = entry_point<text_signature, echo<text_signature>>();
const PyMethodDef tree_method = entry_point<tree_signature, echo<tree_signature>>();
const PyMethodDef pair_method = entry_point<pair_signature, echo<pair_signature>>();
const PyMethodDef node_method = entry_point<node_signature, echo<node_signature>>();
const PyMethodDef fault_method = entry_point<fault_signature, fault>();

constexpr const PyMethodDef* functions[] = {
    &text_method, &tree_method, &pair_method, &node_method, &fault_method,
};

int exec_module(PyObject* module) noexcept { return add_functions(module, functions); }

const PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "morvax_args_probe", "", 0, nullptr,
    const_cast<PyModuleDef_Slot*>(slots), nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morvax::module

// Borrowed: the static module definition, as an object.
PyMODINIT_FUNC PyInit_morvax_args_probe() { return PyModuleDef_Init(&morvax::module::definition); }
