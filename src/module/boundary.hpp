// The edge between the interpreter and C++: how a module function is declared,
// how its arguments are taken, how C++ exceptions become Python ones (none
// crosses the C interface), and how the exec step registers the functions.
#pragma once

#include "eval/interrupt.hpp"
#include "module/arguments.hpp"
#include "module/pyref.hpp"
#include "tree/text_budget.hpp"

#include <Python.h>

#include <exception>
#include <new>
#include <span>
#include <string_view>

namespace morvax::module {

// Sets PanicException (derived from BaseException) with `message`. Returns no
// reference: always null, so that a failing function can `return raise_panic(...)`.
PyObject* raise_panic(std::string_view message) noexcept;

// Runs `body` and returns its result: a new reference, or null with an error
// set. Maps C++ exceptions: Interrupted to the exception the signal handler
// raised, std::bad_alloc to MemoryError (with the message of a limit of ours
// that was passed), anything else to PanicException.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const Interrupted&) {
        // A signal handler raised: its exception is the one to see.
        if (PyErr_Occurred() != nullptr) return nullptr;
        return raise_panic("interrupted without an exception");
    } catch (const TextLimitExceeded& limit) {
        PyErr_SetString(PyExc_MemoryError, limit.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        return raise_panic(fault.what());
    } catch (...) {
        return raise_panic("unknown internal fault");
    }
}

// The poll of an Interrupt (eval/interrupt.hpp) for long calls: runs the
// pending signal handlers; true, with the error set, when one raised
// (KeyboardInterrupt for Ctrl-C).
inline bool signal_raised(void* /*context*/) { return PyErr_CheckSignals() != 0; }

// The Interrupt of a long call: it stops once a signal handler raised.
struct SignalInterrupt : Interrupt {
    SignalInterrupt() : Interrupt(signal_raised, nullptr) {}
};

// New reference: a str decoded from UTF-8 text, or null with an error set.
PyObject* new_text(std::string_view utf8) noexcept;

// New reference: a list of `count` items, item i being make(i), a new
// reference; empty with the error set by the first make that gives null.
template <class Make>
PyRef new_list(std::size_t count, Make&& make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return {};
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

// New reference: `module.function(argument)`, the module imported through the
// interpreter's import machinery (so an imported one is reused); empty with
// whatever the import, the attribute read or the call raised.
PyRef call_module_function(const char* module, const char* function, PyObject* argument) noexcept;

// A function body: receives the taken arguments, returns a new reference (an
// empty PyRef with the error set on failure).
using Body = PyRef (*)(const Arguments&);

// The C entry point of one module function. New reference, or null with an error set.
template <const Signature& signature, Body body>
PyObject* call_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    static_assert(doc_matches(signature), "docstring does not match the parameter table");
    return guarded([&]() -> PyObject* {
        Arguments taken;
        if (!take_arguments(signature, args, nargs, kwnames, taken)) return nullptr;
        return body(taken).release();
    });
}

// The method definition of one module function. The interpreter keeps a
// pointer to it in each function object, so it must have static storage.
template <const Signature& signature, Body body>
PyMethodDef entry_point() noexcept {
    using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    FastWithKeywords entry = &call_entry<signature, body>;
    // PyMethodDef stores every calling convention as PyCFunction; going through
    // void(*)() tells the compiler the mismatch is intended.
    auto stored = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    return {signature.function, stored, METH_FASTCALL | METH_KEYWORDS, signature.doc};
}

// The exec step's work: for each definition in order, create the function
// bound to `module`, append its __name__ to __all__ (created when missing;
// TypeError when not a list) and set the attribute. Returns 0, or -1 with an
// error set.
int add_functions(PyObject* module, std::span<const PyMethodDef* const> functions) noexcept;

}  // namespace morvax::module
