// The node protocol bridge, shared by every tree function of the module: the
// caller's tree of node objects becomes a Node tree, and one field of a Node
// tree is written back onto the caller's objects.
//
// A node object is any object with the attributes `name`, `formula` (a str or
// a sequence of str) and `children` (a list of node objects); `id`,
// `is_hidden` and `cells` are optional and never make a conversion fail.
// Both directions walk the tree with an explicit stack, however deep it is.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <vector>

#include "eval/tree_evaluation.hpp"
#include "eval/types.hpp"
#include "module/inline_attributes.hpp"
#include "module/pyref.hpp"

namespace morvax::module {

enum class NodeField : unsigned char { value, formula, cells };

// The protocol's attribute names as interned str, and where plain objects
// keep them. A call makes them once and shares them between its reads and
// writes: interning seven names costs more than reading a small tree.
struct AttributeNames {
    // Makes them unless made already; false with the error set when that
    // fails (MemoryError).
    bool make();
    PyObject* of(NodeField field) const;
    // object.<name> for one of these names, as PyObject_GetAttr,
    // PyObject_GetOptionalAttr and PyObject_SetAttr give and do it, where a
    // plain object keeps it reached directly.
    [[gnu::always_inline]] PyRef get(PyObject* object, PyObject* name) {
        if (PyObject* found = inline_.get(object, name)) return PyRef::steal(found);
        return PyRef::steal(PyObject_GetAttr(object, name));
    }
    [[gnu::always_inline]] int get_optional(PyObject* object, PyObject* name, PyObject** out) {
        if ((*out = inline_.get(object, name)) != nullptr) return 1;
        return PyObject_GetOptionalAttr(object, name, out);
    }
    // Whether reading object.<name> could only give its value: a read whose
    // value is not needed may be left out then.
    bool unobserved(PyObject* object, PyObject* name) { return inline_.holds(object, name); }
    bool set(PyObject* object, PyObject* name, PyObject* value) {
        return inline_.replace(object, name, value) || PyObject_SetAttr(object, name, value) >= 0;
    }

    // Asks the processor for the objects that reading `object`'s
    // `attributes` will take, where they can be found without touching
    // them. Always inlined: GCC drops the calls of a function whose only
    // effect is a prefetch.
    [[gnu::always_inline]] void prefetch_values(PyObject* object, std::initializer_list<PyObject*> attributes) {
        for (PyObject* attribute : attributes) {
            if (PyObject* found = inline_.peek(object, attribute)) __builtin_prefetch(found);
        }
    }

    PyRef id, name, formula, value, is_hidden, cells, children;

private:
    InlineAttributes inline_;
};

// Converts the object tree below `root` into `out`. Attributes are read in
// the order id, name, formula, is_hidden, cells, children, node by node in
// pre-order. False with a Python error set: the first protocol violation
// (TypeError) or the exception a caller's object raised for name or formula.
// Without `keep_formulas` the formula texts are read and checked but every
// node's formula is left empty, for a call that never looks at them.
[[nodiscard]] bool protocol_to_node(AttributeNames& names, PyObject* root, Node& out,
                                    bool keep_formulas = true) noexcept;

// protocol_to_node into what an evaluation reads (names, hidden flags,
// children counts, formula texts): the same reads, checks and errors, with
// `id` and `cells` read and checked but not kept. `out` must be empty. Its
// formula texts view the UTF-8 of the caller's strs, which `texts_held`
// holds, one str per distinct text, in the order of the texts' ids: they
// must outlive `out`, or the FormulaTable made of it. With `ids`, each node's
// id is kept there too, by position.
[[nodiscard]] bool protocol_to_flat_tree(AttributeNames& names, PyObject* root, FlatTree& out,
                                         std::vector<PyRef>& texts_held,
                                         std::vector<std::string>* ids = nullptr) noexcept;

// Writes `field` of `node` and of its descendants onto `root` and the objects
// matching them by position, in pre-order: a str for a single element, a new
// list of str for a list. Below an object whose `children` is not a list
// nothing is written; nodes beyond the end of a children list are skipped.
// False with the Python error set by the first failing write or children
// read; what was written before it stays written.
[[nodiscard]] bool update_node_field(AttributeNames& names, PyObject* root, NodeField field, const Node& node) noexcept;

// update_node_field for the `value` field straight from an evaluation of the
// tree (evaluate_all done), without save_values: what save_values would store
// is written.
[[nodiscard]] bool update_node_values(AttributeNames& names, PyObject* root, const TreeEvaluation& evaluation) noexcept;

// write_back of the `formula` field of a tree read flat, each text as
// `texts` holds it by its id: one str shared by every formula of that text.
PyRef write_back_formulas(AttributeNames& names, PyObject* root, bool in_place, const FlatTree& tree,
                          const std::vector<PyRef>& texts) noexcept;

// New reference: copy.deepcopy(object), or empty with whatever it raised.
PyRef clone_python_object(PyObject* object) noexcept;

// New reference: `root` itself when `in_place`, else a deep copy of it, with
// `field` of `tree` written onto it; empty with the first error raised.
PyRef write_back(AttributeNames& names, PyObject* root, bool in_place, NodeField field, const Node& tree) noexcept;

// write_back of the `value` field with update_node_values.
PyRef write_back_values(AttributeNames& names, PyObject* root, bool in_place,
                        const TreeEvaluation& evaluation) noexcept;

}  // namespace morvax::module
