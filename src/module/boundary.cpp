#include "module/boundary.hpp"

namespace morvax::module {
namespace {

// The type lives in the interpreter's own dict, not in a C++ global: the
// module keeps no state, and every module instance (and interpreter) finds
// the type it made on first use.
constexpr const char* panic_key = "_morvax_formulas.PanicException";

// New reference: a fresh PanicException type.
PyObject* new_panic_type() noexcept {
    return PyErr_NewException("morvax_formulas.PanicException", PyExc_BaseException, nullptr);
}

// New reference to this interpreter's PanicException type, made on first use;
// null with an error set.
PyObject* panic_type() noexcept {
    PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (registry == nullptr) return new_panic_type();  // no dict to keep it in: still raise one
    PyRef key = PyRef::steal(PyUnicode_FromString(panic_key));
    if (!key) return nullptr;
    PyObject* found = nullptr;
    const int present = PyDict_GetItemRef(registry, key.get(), &found);
    if (present != 0) return found;  // the type, or null with the lookup's error
    PyRef created = PyRef::steal(new_panic_type());
    if (!created) return nullptr;
    // Two threads may get here at once; both then raise the type that was stored first.
    PyObject* stored = nullptr;
    if (PyDict_SetDefaultRef(registry, key.get(), created.get(), &stored) < 0) return nullptr;
    return stored;
}

// Gets __all__, creating an empty list when it is missing. New reference, or
// an empty PyRef with an error set.
PyRef all_list(PyObject* module) noexcept {
    PyObject* found = nullptr;
    const int present = PyObject_GetOptionalAttrString(module, "__all__", &found);
    if (present < 0) return {};
    PyRef all = PyRef::steal(found);
    if (present == 0) {
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
    } else if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "__all__ must be a list, not %s",
                     Py_TYPE(all.get())->tp_name);
        return {};
    }
    return all;
}

int add_function(PyObject* module, PyObject* module_name, const PyMethodDef* definition) noexcept {
    // The interpreter only reads the definition; its API just lacks the const.
    PyRef function = PyRef::steal(
        PyCFunction_NewEx(const_cast<PyMethodDef*>(definition), module, module_name));
    if (!function) return -1;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    PyRef all = all_list(module);
    if (!all || PyList_Append(all.get(), name.get()) < 0) return -1;
    return PyObject_SetAttr(module, name.get(), function.get());
}

}  // namespace

PyObject* raise_panic(std::string_view message) noexcept {
    PyRef type = PyRef::steal(panic_type());
    if (!type) return nullptr;  // the reason it could not be made is the error now
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type.get(), text.get());
    return nullptr;
}

PyObject* new_text(std::string_view utf8) noexcept {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
}

PyRef call_module_function(const char* module, const char* function, PyObject* argument) noexcept {
    PyRef imported = PyRef::steal(PyImport_ImportModule(module));
    if (!imported) return {};
    // An interned name is the module's own key: a fresh str per call would
    // take a new slot of the interpreter's attribute cache each time, which
    // holds a reference to every name it caches.
    PyRef name = PyRef::steal(PyUnicode_InternFromString(function));
    if (!name) return {};
    PyRef callable = PyRef::steal(PyObject_GetAttr(imported.get(), name.get()));
    if (!callable) return {};
    return PyRef::steal(PyObject_CallOneArg(callable.get(), argument));
}

int add_functions(PyObject* module, std::span<const PyMethodDef* const> functions) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module, got %s", Py_TYPE(module)->tp_name);
        return -1;
    }
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (const PyMethodDef* definition : functions) {
        if (add_function(module, module_name.get(), definition) < 0) return -1;
    }
    return 0;
}

}  // namespace morvax::module
