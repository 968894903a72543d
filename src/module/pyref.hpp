// PyRef: the one owner of a strong reference to a Python object.
//
// Rules of use:
//  - A PyRef holds exactly one strong reference, or nothing. Its destructor
//    drops the reference, so every way out of a scope releases what the scope
//    took; nobody calls Py_DECREF by hand on an object a PyRef holds.
//  - A call documented "new reference" is wrapped at once with
//    PyRef::steal(p). A null p (the call failed, the error is set) gives an
//    empty PyRef; test it with `if (!ref)`.
//  - A borrowed pointer that must outlive its lender is kept with
//    PyRef::new_ref(p), which takes a reference of its own.
//  - get() lends the pointer (borrowed: valid while this PyRef holds it).
//    release() hands the reference on, to return it to the interpreter or to
//    an API that steals; the PyRef is empty afterwards.
//  - Move-only: a copy would need a hidden incref or release twice.
//  - Only touched while the thread is attached to the interpreter, which holds
//    for the whole of every call into this module.
#pragma once

#include <Python.h>

#include <utility>

namespace morvax::module {

class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a new reference (or null).
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }

    // Takes a reference of its own to a borrowed object (or null).
    [[nodiscard]] static PyRef new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

    PyRef& operator=(PyRef&& other) noexcept {
        // Store first, drop after: dropping may run arbitrary code that looks at *this.
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    ~PyRef() { Py_XDECREF(object_); }

    // Borrowed reference.
    [[nodiscard]] PyObject* get() const noexcept { return object_; }

    // New reference for the caller; this PyRef becomes empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace morvax::module
