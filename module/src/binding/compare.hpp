// Rich-comparison slots shared by the classes.
#pragma once

#include <Python.h>

#include "binding/convert.hpp"

namespace quorral {

// "!=" evaluated as not (a == b) through the interpreter's full protocol
// (reflected __eq__ and the identity fallback included).
PyObject* not_equal_by_protocol(PyObject* a, PyObject* b);

// == and != by the value's own (tolerant) operator==; a second operand that
// is being written at this moment is an internal failure.
template <Bound V>
PyObject* tolerant_richcompare(PyObject* a, PyObject* b, int op) {
    return with_copies_or_borrows<V>([&]<class Reader>(bool& torn) -> PyObject* {
        Reader self;
        if (!self.load(a)) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        if ((op != Py_EQ && op != Py_NE) || !instance_of<V>(b)) Py_RETURN_NOTIMPLEMENTED;
        Reader other;
        if (!other.load(b)) {
            PyErr_Clear();
            return raise_panic(READ_REFUSED);
        }
        if (!consistent(self) || !consistent(other)) {
            torn = true;
            return nullptr;
        }
        return to_py((self.get() == other.get()) == (op == Py_EQ));
    });
}

// Exact comparisons by the value's own operators between two instances; "!="
// through not_equal_by_protocol. Any other operand, one that cannot be read at
// this moment, or (unless Ordered) an ordering operator gives NotImplemented.
template <Bound V, bool Ordered>
PyObject* exact_richcompare(PyObject* a, PyObject* b, int op) {
    if (op == Py_NE) return not_equal_by_protocol(a, b);
    if (!Ordered && op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
    return with_copies_or_borrows<V>([&]<class Reader>(bool& torn) -> PyObject* {
        Reader self;
        Reader other;
        if (!self.load(a) || !other.load(b)) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (!consistent(self) || !consistent(other)) {
            torn = true;
            return nullptr;
        }
        const V& x = self.get();
        const V& y = other.get();
        if (op == Py_EQ) return to_py(x == y);
        if constexpr (Ordered) {
            switch (op) {
                case Py_LT: return to_py(x < y);
                case Py_LE: return to_py(x <= y);
                case Py_GT: return to_py(x > y);
                case Py_GE: return to_py(x >= y);
            }
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

// ==, <, <=, >, >= (the angles).
template <Bound V>
PyObject* ordered_richcompare(PyObject* a, PyObject* b, int op) {
    return exact_richcompare<V, true>(a, b, op);
}

// == only (Circle).
template <Bound V>
PyObject* equality_richcompare(PyObject* a, PyObject* b, int op) {
    return exact_richcompare<V, false>(a, b, op);
}

}  // namespace quorral
