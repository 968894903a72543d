#include "module/arguments.hpp"

#include "module/pyref.hpp"

#include <cstring>

namespace morvax::module {
namespace {

// The wording of these messages follows the interpreter's own built-ins.

bool too_many(const Signature& signature, Py_ssize_t given) {
    const std::size_t most = signature.params.size();
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)",
                 signature.function, most, most == 1 ? "" : "s", given);
    return false;
}

bool unexpected_keyword(const Signature& signature, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 signature.function, key);
    return false;
}

bool given_twice(const Signature& signature, std::size_t index, Py_ssize_t nargs) {
    const char* name = signature.params[index].name;
    if (static_cast<Py_ssize_t>(index) < nargs) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                     signature.function, name, index + 1);
    } else {  // only a caller of the C interface can repeat a keyword
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     signature.function, name);
    }
    return false;
}

bool missing(const Signature& signature, std::size_t index) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                 signature.function, signature.params[index].name, index + 1);
    return false;
}

bool wrong_type(const Signature& signature, std::size_t index, const char* expected,
                PyObject* given) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", signature.function,
                 signature.params[index].name, expected,
                 given == Py_None ? "None" : Py_TYPE(given)->tp_name);
    return false;
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature& signature, PyObject* key) {
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        const char* name = signature.params[i].name;
        if (PyUnicode_EqualToUTF8AndSize(key, name, static_cast<Py_ssize_t>(std::strlen(name)))) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool take_text(PyObject* object, Argument& out) {
    out.object = object;
    // A compact ASCII str already is its UTF-8 form: no call, no copy.
    if (PyUnicode_IS_COMPACT_ASCII(object)) {
        out.text = {static_cast<const char*>(PyUnicode_DATA(object)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))};
        return true;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);  // fails on lone surrogates
    if (utf8 == nullptr) return false;
    out.text = {utf8, static_cast<std::size_t>(size)};
    return true;
}

// True when `type` is NumPy's boolean scalar type, judged by name and module so
// that NumPy need not be imported. Never raises.
bool is_numpy_bool_type(PyTypeObject* type) {
    PyRef name = PyRef::steal(PyType_GetName(type));
    PyRef module = name ? PyRef::steal(PyType_GetModuleName(type)) : PyRef();
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(name.get()) && PyUnicode_Check(module.get()) &&
           (PyUnicode_EqualToUTF8(name.get(), "bool_") ||
            PyUnicode_EqualToUTF8(name.get(), "bool")) &&
           PyUnicode_EqualToUTF8(module.get(), "numpy");
}

bool take_flag(const Signature& signature, std::size_t index, PyObject* object, Argument& out) {
    out.object = object;
    switch (read_flag(object)) {
        case FlagTruth::false_value: out.flag = false; return true;
        case FlagTruth::true_value: out.flag = true; return true;
        case FlagTruth::not_a_flag: return wrong_type(signature, index, "bool", object);
        case FlagTruth::failed: return false;
    }
    return false;
}

bool take_one(const Signature& signature, std::size_t index, PyObject* object, Argument& out) {
    switch (signature.params[index].kind) {
        case ParamKind::text:
            if (!PyUnicode_Check(object)) return wrong_type(signature, index, "str", object);
            return take_text(object, out);
        case ParamKind::flag:
            return take_flag(signature, index, object, out);
        case ParamKind::object:
            out.object = object;
            return true;
    }
    return false;
}

}  // namespace

FlagTruth read_flag(PyObject* object) noexcept {
    if (object == Py_True) return FlagTruth::true_value;
    if (object == Py_False) return FlagTruth::false_value;
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool_type(type)) return FlagTruth::not_a_flag;
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                     type->tp_name);
        return FlagTruth::failed;
    }
    const int value = truth(object);
    if (value < 0) return FlagTruth::failed;
    return value != 0 ? FlagTruth::true_value : FlagTruth::false_value;
}

bool take_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Arguments& out) noexcept {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const auto nparams = static_cast<Py_ssize_t>(signature.params.size());
    if (nargs > nparams) return too_many(signature, nargs + nkw);

    std::array<PyObject*, max_params> given{};
    for (Py_ssize_t i = 0; i < nargs; ++i) given[static_cast<std::size_t>(i)] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = find_param(signature, key);
        if (index < 0) return unexpected_keyword(signature, key);
        const auto slot = static_cast<std::size_t>(index);
        if (given[slot] != nullptr) return given_twice(signature, slot, nargs);
        given[slot] = args[nargs + k];
    }

    const std::size_t required = required_count(signature);
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        out[i] = Argument{};
        if (given[i] == nullptr) {
            if (i < required) return missing(signature, i);
            continue;  // an optional flag keeps its default, False
        }
        if (!take_one(signature, i, given[i], out[i])) return false;
    }
    return true;
}

}  // namespace morvax::module
