/* The cheapest C code doing the attribute work evaluate_tree must do on a
 * tree of node objects, for bench_tree.py's "floor" figure: a first walk
 * reads id, name (its UTF-8), formula (each list item's UTF-8), is_hidden
 * (its truth), cells and children; a second walk sets value to a new list
 * of the given strs and reads children again to go on, as the write-back
 * must, since values exist only once every formula has been read. Nothing
 * is parsed, kept or evaluated, and only the bench's own well-formed trees
 * are walked: a broken node ends the walk with the exception raised.
 *
 * With one_walk true, each node is read and written in a single walk
 * instead, as the Python loop of the bench does: the same attribute work
 * less the second walk, which tells what C's attribute access costs against
 * the interpreter's and what the second walk adds.
 *
 *     floor(root, values, one_walk=False)  ->  None
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *s_id, *s_name, *s_formula, *s_is_hidden, *s_cells, *s_children, *s_value;

/* A stack of new references. */
typedef struct {
    PyObject **items;
    Py_ssize_t size, room;
} Stack;

static int push(Stack *stack, PyObject *item) {
    if (stack->size == stack->room) {
        Py_ssize_t room = stack->room ? 2 * stack->room : 1024;
        PyObject **items = PyMem_Realloc(stack->items, (size_t)room * sizeof(PyObject *));
        if (items == NULL) {
            Py_DECREF(item);
            PyErr_NoMemory();
            return -1;
        }
        stack->items = items;
        stack->room = room;
    }
    stack->items[stack->size++] = item;
    return 0;
}

static void drop(Stack *stack) {
    while (stack->size > 0) Py_DECREF(stack->items[--stack->size]);
    PyMem_Free(stack->items);
}

/* Pushes the items of node's children list, last first, so that the walk
 * takes them in order. */
static int push_children(Stack *stack, PyObject *node) {
    PyObject *children = PyObject_GetAttr(node, s_children);
    if (children == NULL) return -1;
    if (!PyList_Check(children)) {
        Py_DECREF(children);
        PyErr_SetString(PyExc_TypeError, "children must be a list");
        return -1;
    }
    for (Py_ssize_t i = PyList_GET_SIZE(children) - 1; i >= 0; --i) {
        if (push(stack, Py_NewRef(PyList_GET_ITEM(children, i))) < 0) {
            Py_DECREF(children);
            return -1;
        }
    }
    Py_DECREF(children);
    return 0;
}

static int read_text(PyObject *text) {
    Py_ssize_t size;
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "expected a str");
        return -1;
    }
    return PyUnicode_AsUTF8AndSize(text, &size) == NULL ? -1 : 0;
}

static int read_node(PyObject *node) {
    PyObject *got = NULL;
    int ok = PyObject_GetOptionalAttr(node, s_id, &got) >= 0;
    Py_XDECREF(got);
    if (!ok || (got = PyObject_GetAttr(node, s_name)) == NULL) return -1;
    ok = read_text(got) == 0;
    Py_DECREF(got);
    if (!ok || (got = PyObject_GetAttr(node, s_formula)) == NULL) return -1;
    if (PyList_Check(got)) {
        for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(got); ++i) {
            PyObject *item = Py_NewRef(PyList_GET_ITEM(got, i));
            ok = read_text(item) == 0;
            Py_DECREF(item);
        }
    } else {
        ok = read_text(got) == 0;
    }
    Py_DECREF(got);
    if (!ok || PyObject_GetOptionalAttr(node, s_is_hidden, &got) < 0) return -1;
    if (got != NULL) {
        ok = PyObject_IsTrue(got) >= 0;
        Py_DECREF(got);
    }
    if (!ok || PyObject_GetOptionalAttr(node, s_cells, &got) < 0) return -1;
    Py_XDECREF(got);
    return 0;
}

static int write_node(PyObject *node, PyObject *values) {
    PyObject *value = PyList_GetSlice(values, 0, PyList_GET_SIZE(values));
    if (value == NULL) return -1;
    int done = PyObject_SetAttr(node, s_value, value);
    Py_DECREF(value);
    return done;
}

static PyObject *bridge_floor(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    int one_walk = 0;
    if (nargs < 2 || nargs > 3 || !PyList_Check(args[1]) || (nargs == 3 && (one_walk = PyObject_IsTrue(args[2])) < 0)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "floor(root, values: list, one_walk=False)");
        return NULL;
    }
    /* pass 0 reads, pass 1 writes; one walk does both at each node */
    for (int pass = one_walk ? 2 : 0; pass < (one_walk ? 3 : 2); ++pass) {
        Stack stack = {NULL, 0, 0};
        int failed = push(&stack, Py_NewRef(args[0]));
        while (!failed && stack.size > 0) {
            PyObject *node = stack.items[--stack.size];
            failed = (pass != 1 && read_node(node) < 0) || (pass != 0 && write_node(node, args[1]) < 0) ||
                     push_children(&stack, node) < 0;
            Py_DECREF(node);
        }
        drop(&stack);
        if (failed) return NULL;
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"floor", (PyCFunction)(void (*)(void))bridge_floor, METH_FASTCALL, "floor(root, values, one_walk=False)"},
    {NULL, NULL, 0, NULL},
};

static int exec_module(PyObject *module) {
    (void)module;
    struct {
        PyObject **slot;
        const char *text;
    } names[] = {{&s_id, "id"}, {&s_name, "name"}, {&s_formula, "formula"}, {&s_is_hidden, "is_hidden"},
                 {&s_cells, "cells"}, {&s_children, "children"}, {&s_value, "value"}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if ((*names[i].slot = PyUnicode_InternFromString(names[i].text)) == NULL) return -1;
    }
    return 0;
}

static PyModuleDef_Slot slots[] = {{Py_mod_exec, exec_module}, {0, NULL}};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "bridge_floor", NULL, 0, methods, slots,
                                        NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_bridge_floor(void) { return PyModuleDef_Init(&module_def); }
