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
// values are in use and hold a value for the name. The objects of a class
// with __slots__ are reached the same way at the offset the name's member
// descriptor gives, where that descriptor is what the generic access would
// call (found first in the MRO, a plain object member, writable, made for a
// base of the class) and the slot holds a value. The objects of a class
// without inline values that keeps a dict at a fixed offset (a
// SimpleNamespace) are reached in that dict, at the entry of the name
// itself (the same str) among its first few, as the interpreter's hinted
// attribute access does. Everywhere else the caller takes the generic
// access. On a free-threaded build, another
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
        Place* p = known_place(Py_TYPE(object), name);
        if (p == nullptr) return nullptr;
        if (p->where == Where::Dict) {
            // A dict is looked in only when read: its lookup would wait for
            // the dict, which is asked for instead.
            __builtin_prefetch(own_dict(object));
            return nullptr;
        }
        PyObject** found = at(object, *p);
        return found != nullptr ? *found : nullptr;
    }
    // object.name = value where the object holds a value for the name; false,
    // with nothing done, where the generic access must be taken instead. The
    // old value is released, which may run its finaliser.
    bool replace(PyObject* object, PyObject* name, PyObject* value);

private:
    enum class Where : std::uint8_t {
        Values,  // index: the name's place among the inline values
        Slot,    // index: the __slots__ member's offset
        Dict,    // index: where the name was in the last dict looked in (own_dict)
    };
    // Where `name` lies for the objects of one class, as found for its
    // version: -1 for nowhere this way.
    struct Place {
        PyTypeObject* type = nullptr;
        PyObject* name = nullptr;
        unsigned int version = 0;
        Where where = Where::Values;
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
        Place* p = place_of(object, name);
        return p != nullptr ? at(object, *p) : nullptr;
    }
    // What is known of name in the object's class, found now when it is not
    // yet; null where nothing can be (no table, or the class changed).
    [[gnu::always_inline]] Place* place_of(PyObject* object, PyObject* name) {
#ifndef MORVAX_INLINE_VALUES
        (void)object, (void)name;
        return nullptr;
#else
        if (!places_ && !make_places()) return nullptr;
        PyTypeObject* type = Py_TYPE(object);
        if (Place* p = known_place(type, name)) return p;
        Place& p = place_to_fill(type, name);
        find(p, type, name);
        // The caller's code that finding ran may have changed the object's class.
        return Py_TYPE(object) == type ? &p : nullptr;
#endif
    }
    // The dict an object of a class with one at a fixed offset keeps.
    [[gnu::always_inline]] static PyObject* own_dict(PyObject* object) {
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + Py_TYPE(object)->tp_dictoffset);
    }
    // The name's slot in the object's values, among its __slots__ or in its
    // dict, or null.
    [[gnu::always_inline]] static PyObject** at(PyObject* object, Place& p) {
        if (p.index < 0) return nullptr;
        if (p.where == Where::Slot) return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + p.index);
        if (p.where == Where::Dict) return in_dict(object, p);
        char* values = reinterpret_cast<char*>(object) + Py_TYPE(object)->tp_basicsize;
        const auto* head = reinterpret_cast<const ValuesHead*>(values);
        if (head->valid == 0 || p.index >= head->capacity) return nullptr;
        return reinterpret_cast<PyObject**>(values + sizeof(PyObject*)) + p.index;
    }
    // The first of the kProbes places where name may lie for type's objects.
    // Both are addresses: mixed by multiplying, so that the handful of names
    // of a node class spread over the table wherever the allocator put them
    // (their low bits alone collide often, and each collision would look the
    // name up in the class again at every access).
    [[gnu::always_inline]] static std::size_t home(PyTypeObject* type, PyObject* name) {
        constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15u;
        const auto mix = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(type) ^
                                                    reinterpret_cast<std::uintptr_t>(name));
        return static_cast<std::size_t>((mix >> 4) * kOdd >> (64 - kPlaceBits));
    }
    [[gnu::always_inline]] Place* known_place(PyTypeObject* type, PyObject* name) const {
        const std::size_t first = home(type, name);
        // The first place holds it in all but a few cases: checked ahead of the loop.
        if (known(places_[first], type, name)) [[likely]] return &places_[first];
        for (std::size_t k = 1; k < kProbes; ++k) {
            Place& p = places_[(first + k) % kPlaces];
            if (known(p, type, name)) return &p;
        }
        return nullptr;
    }
    // Where to keep what find() tells of name in type: the place that told
    // of an earlier version, else an empty one, else the first (the table
    // forgets what it held there).
    Place& place_to_fill(PyTypeObject* type, PyObject* name) {
        const std::size_t first = home(type, name);
        Place* empty = nullptr;
        for (std::size_t k = 0; k < kProbes; ++k) {
            Place& p = places_[(first + k) % kPlaces];
            if (p.type == type && p.name == name) return p;
            if (p.type == nullptr && empty == nullptr) empty = &p;
        }
        return empty != nullptr ? *empty : places_[first];
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
    // The entry of p's name in the object's dict, found where it was last
    // or else looked for (p keeps where), or null.
    static PyObject** in_dict(PyObject* object, Place& p);

    // False when there is no memory for them: then every access is the
    // generic one.
    bool make_places() {
        places_.reset(new (std::nothrow) Place[kPlaces]);
        return places_ != nullptr;
    }

    // A few classes of nodes, a few names, each kept in one of kProbes
    // neighbouring places. Made at the first access, off the stack: a call on
    // a thread with a small stack leaves the interpreter the room it had.
    static constexpr unsigned kPlaceBits = 6;
    static constexpr std::size_t kPlaces = std::size_t{1} << kPlaceBits;
    static constexpr std::size_t kProbes = 4;
    std::unique_ptr<Place[]> places_;
};

}  // namespace morvax::module
