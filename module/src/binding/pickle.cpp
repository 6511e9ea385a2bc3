#include "binding/pickle.hpp"

namespace quorral {

PyObject* reconstructor() {
    PyObject* module = PyImport_ImportModule("quorral");
    if (!module) return nullptr;
    PyObject* function = PyObject_GetAttrString(module, "_reconstruct");
    Py_DECREF(module);
    return function;
}

std::nullptr_t raise_bad_state(const char* tag, std::size_t unit, bool repeated, std::size_t size) {
    PyErr_Format(PyExc_ValueError, "%s state must be %s%zu bytes, got %zu", tag, repeated ? "a multiple of " : "", unit,
                 size);
    return nullptr;
}

}  // namespace quorral
