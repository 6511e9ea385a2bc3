// Placeholder types for classes not written yet; each is removed with its class.
#include "classes.hpp"

namespace quorral {

namespace {
void dealloc_placeholder(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}
PyTypeObject* placeholder(const char* name) { return create_type(ClassSpec{.name = name}, sizeof(PyObject), &dealloc_placeholder); }
}  // namespace

}  // namespace quorral
