#include "module/inline_attributes.hpp"

#include <algorithm>
#include <cstddef>

#include "module/pyref.hpp"

#ifdef MORVAX_INLINE_VALUES
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wpedantic"
#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
#pragma GCC diagnostic pop
#endif

namespace morvax::module {

#ifdef MORVAX_INLINE_VALUES

namespace {

// Where `name` lies among the inline values of `type`'s objects, or -1.
Py_ssize_t inline_index(PyTypeObject* type, PyObject* name) {
    constexpr unsigned long kNeeded = Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_INLINE_VALUES;
    if ((type->tp_flags & kNeeded) != kNeeded) return -1;
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) return -1;
    // A name kept by the keys under an equal but other str is simply not
    // found: the generic access reads it.
    const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        if (entries[i].me_key == name) return i;
    }
    return -1;
}

// The offset of the __slots__ member that `attribute`, found first in
// type's MRO, reads and writes, where the generic access would do exactly
// that through it; else -1. A member descriptor is a data descriptor: it
// comes before anything in the object's dict.
Py_ssize_t slot_offset(PyTypeObject* type, PyObject* attribute) {
    if (!Py_IS_TYPE(attribute, &PyMemberDescr_Type)) return -1;
    const auto* descriptor = reinterpret_cast<PyMemberDescrObject*>(attribute);
    const PyMemberDef* member = descriptor->d_member;
    // No other kind of member, no read-only or audited one; and one taken
    // from another class into this one's dict is refused by the generic
    // access, which the caller then meets.
    if (member->type != Py_T_OBJECT_EX || member->flags != 0 || member->offset < 0) return -1;
    if (!PyType_IsSubtype(type, PyDescr_TYPE(descriptor))) return -1;
    return member->offset;
}

}  // namespace

void InlineAttributes::find(Place& p, PyTypeObject* type, PyObject* name) {
    static_assert(offsetof(PyDictValues, capacity) == offsetof(ValuesHead, capacity) &&
                  offsetof(PyDictValues, valid) == offsetof(ValuesHead, valid) &&
                  offsetof(PyDictValues, values) == sizeof(PyObject*));
    p = Place{type, name, 0, Where::Values, -1};  // not known: looked for again next time
    // Any attribute of that name in the MRO (a descriptor, a class
    // attribute) is for the generic access to deal with. The lookup gives
    // the class a version tag when it has none, hence a second attempt; a
    // change of the class during the lookup (the caller's code it ran)
    // changes the tag, and then nothing is taken from it. That code may
    // also give the object another class: the old one is held here rather
    // than left to whatever the lookup itself holds.
    const PyRef held = PyRef::new_ref(reinterpret_cast<PyObject*>(type));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const unsigned int before = type->tp_version_tag;
        PyObject* const in_class = _PyType_Lookup(type, name);  // borrowed, from the class as it stands
        if (before != 0 && type->tp_version_tag == before) {
            p.version = before;
            // Both ways stand for what the generic getattr and setattr would do.
            if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return;
            if (in_class != nullptr) {
                p.where = Where::Slot;
                p.index = slot_offset(type, in_class);
            } else if ((type->tp_flags & Py_TPFLAGS_INLINE_VALUES) == 0 && type->tp_dictoffset > 0) {
                // A dict of the object's own, as a SimpleNamespace keeps.
                p.where = Where::Dict;
                p.index = 0;
            } else {
                p.index = inline_index(type, name);
            }
            return;
        }
    }
}

PyObject** InlineAttributes::in_dict(PyObject* object, Place& p) {
    PyObject* dict = own_dict(object);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return nullptr;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    PyDictKeysObject* keys = d->ma_keys;
    // Keys shared with other dicts, or not all str: the generic access.
    if (d->ma_values != nullptr || !DK_IS_UNICODE(keys)) return nullptr;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    // The objects of a class mostly have their attributes set in one order:
    // the name lies where it lay in the last dict. Else a few entries are
    // looked at for it, by identity (an equal but other str is left to the
    // generic access, as is a large dict).
    Py_ssize_t i = p.index;
    if (i >= keys->dk_nentries || entries[i].me_key != p.name) {
        constexpr Py_ssize_t kMostLooked = 16;
        const Py_ssize_t end = std::min(keys->dk_nentries, kMostLooked);
        for (i = 0; i < end && entries[i].me_key != p.name; ++i) {
        }
        if (i == end) return nullptr;
        p.index = i;
    }
    return &entries[i].me_value;
}

bool InlineAttributes::replace(PyObject* object, PyObject* name, PyObject* value) {
    Place* p = place_of(object, name);
    PyObject** found = p != nullptr ? at(object, *p) : nullptr;
    if (found == nullptr || *found == nullptr) return false;
    // A value changed in a dict is told to the dict's watchers, and an
    // untracked dict is tracked by the collector: the generic way does both.
    // The inline values are shared with a dict made for the object (by
    // vars(), a deep copy, pickling), which the same holds for; a __slots__
    // member lies within the object's own layout, in no dict.
    PyDictObject* dict = nullptr;
    if (p->where == Where::Dict) {
        dict = reinterpret_cast<PyDictObject*>(own_dict(object));
    } else if (p->where == Where::Values) {
        dict = _PyObject_GetManagedDict(object);
        if (dict != nullptr && dict->ma_values != _PyObject_InlineValues(object)) return false;
    }
    if (dict != nullptr && ((dict->_ma_watcher_tag & DICT_WATCHER_MASK) != 0 ||
                            !PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(dict)))) {
        return false;
    }
    const PyRef old = PyRef::steal(*found);
    *found = Py_NewRef(value);
    return true;
}

#else

// Every access is the generic one: slot() never finds anything.
void InlineAttributes::find(Place& p, PyTypeObject* type, PyObject* name) { p = Place{type, name, 0, Where::Values, -1}; }
PyObject** InlineAttributes::in_dict(PyObject*, Place&) { return nullptr; }
bool InlineAttributes::replace(PyObject*, PyObject*, PyObject*) { return false; }

#endif

}  // namespace morvax::module
