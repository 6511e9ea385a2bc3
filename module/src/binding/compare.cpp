#include "binding/compare.hpp"

namespace quorral {

PyObject* not_equal_by_protocol(PyObject* a, PyObject* b) {
    PyObject* eq = PyObject_RichCompare(a, b, Py_EQ);
    if (!eq) return nullptr;
    const int truth = PyObject_IsTrue(eq);
    Py_DECREF(eq);
    if (truth < 0) return nullptr;
    return to_py(truth == 0);
}

}  // namespace quorral
