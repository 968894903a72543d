// Attributes read and replaced where a plain class's objects keep them: in
// the array of values that follows each object, at the place the class's
// shared keys give the name. This is how the interpreter's own specialised
// attribute access reaches them; PyObject_GetAttr instead looks the name up
// in the class and then in the keys at every access, and a tree walk makes
// seven such accesses on every one of 10^5 objects of a few classes.
//
// Taken only where the generic access would give the same: the class has
// the generic getattr and setattr, no attribute of that name anywhere in its
// MRO (so no descriptor and no class attribute), and the object's inline
// values are in use and hold a value for the name. Everywhere else the
// caller takes the generic access. On a free-threaded build, another
// interpreter version than the one these layouts were read from, or one
// installed without its internal headers, nothing is ever taken this way.
#pragma once

#include <Python.h>

// The layouts of inline values and shared keys are the interpreter's own,
// read from its internal headers for exactly this version. An installation
// without those headers builds the generic access alone.
#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x030F0000 && !defined(Py_GIL_DISABLED) && \
    __has_include("internal/pycore_dict.h")
#define MORVAX_INLINE_VALUES 1
#endif

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace morvax::module {

class InlineAttributes {
public:
    // A new reference to object.name, or null without an error where the
    // generic access must be taken instead.
    [[gnu::always_inline]] PyObject* get(PyObject* object, PyObject* name) { return Py_XNewRef(value(object, name)); }
    // Whether object.name is there to be read directly: then reading it has
    // no effect but its value, which is not looked at here.
    [[gnu::always_inline]] bool holds(PyObject* object, PyObject* name) { return value(object, name) != nullptr; }
    // object.name, borrowed and not looked at (not even its reference
    // count), or null where an earlier access has not found it yet: for a
    // prefetch of what a read will soon take. It runs no code of the
    // caller's (finding a name in a class may), so `object` may be borrowed.
    [[gnu::always_inline]] PyObject* peek(PyObject* object, PyObject* name) {
        if (!places_) return nullptr;
        PyTypeObject* type = Py_TYPE(object);
        const Place& p = places_[index(type, name)];
        if (!known(p, type, name)) return nullptr;
        PyObject** found = at(object, p);
        return found != nullptr ? *found : nullptr;
    }
    // object.name = value where the object holds a value for the name; false,
    // with nothing done, where the generic access must be taken instead. The
    // old value is released, which may run its finaliser.
    bool replace(PyObject* object, PyObject* name, PyObject* value);

private:
    // Where `name` lies for the objects of one class, as found for its
    // version: -1 for nowhere this way.
    struct Place {
        PyTypeObject* type = nullptr;
        PyObject* name = nullptr;
        unsigned int version = 0;
        Py_ssize_t index = -1;
    };
    // The head of the values that follow an object of such a class; the
    // values themselves start a pointer's size after it (the interpreter's
    // own layout, checked against it where it is built).
    struct ValuesHead {
        std::uint8_t capacity;
        std::uint8_t size;
        std::uint8_t embedded;
        std::uint8_t valid;
    };

    // object.name, borrowed, where it is there to be read directly; else null.
    [[gnu::always_inline]] PyObject* value(PyObject* object, PyObject* name) {
        PyObject** found = slot(object, name);
        return found != nullptr ? *found : nullptr;
    }
    [[gnu::always_inline]] PyObject** slot(PyObject* object, PyObject* name) {
#ifndef MORVAX_INLINE_VALUES
        (void)object, (void)name;
        return nullptr;
#else
        if (!places_ && !make_places()) return nullptr;
        PyTypeObject* type = Py_TYPE(object);
        Place& p = places_[index(type, name)];
        if (!known(p, type, name)) {
            find(p, type, name);
            // The caller's code that finding ran may have changed the object's class.
            if (Py_TYPE(object) != type) return nullptr;
        }
        return at(object, p);
#endif
    }
    // The name's slot in the object's values, or null.
    [[gnu::always_inline]] static PyObject** at(PyObject* object, const Place& p) {
        if (p.index < 0) return nullptr;
        char* values = reinterpret_cast<char*>(object) + Py_TYPE(object)->tp_basicsize;
        const auto* head = reinterpret_cast<const ValuesHead*>(values);
        if (head->valid == 0 || p.index >= head->capacity) return nullptr;
        return reinterpret_cast<PyObject**>(values + sizeof(PyObject*)) + p.index;
    }
    [[gnu::always_inline]] static std::size_t index(PyTypeObject* type, PyObject* name) {
        const auto mix = reinterpret_cast<std::uintptr_t>(type) ^ (reinterpret_cast<std::uintptr_t>(name) >> 4);
        return (mix >> 4) % kPlaces;
    }
    // Whether `p` tells where `name` lies in `type`'s objects. A version tag
    // is never given twice: a class made at a freed one's address, or the
    // same class changed, has another.
    [[gnu::always_inline]] static bool known(const Place& p, PyTypeObject* type, PyObject* name) {
        return p.type == type && p.name == name && p.version == type->tp_version_tag && p.version != 0;
    }
    // Fills `p` for `name` in `type`'s objects. Looking in the class may run
    // the caller's code (a class dict's odd key compared with the name).
    static void find(Place& p, PyTypeObject* type, PyObject* name);

    // False when there is no memory for them: then every access is the
    // generic one.
    bool make_places() {
        places_.reset(new (std::nothrow) Place[kPlaces]);
        return places_ != nullptr;
    }

    // A few classes of nodes, a few names: direct-mapped by both. Made at
    // the first access, off the stack: a call on a thread with a small
    // stack leaves the interpreter the room it had.
    static constexpr std::size_t kPlaces = 32;
    std::unique_ptr<Place[]> places_;
};

}  // namespace morvax::module
