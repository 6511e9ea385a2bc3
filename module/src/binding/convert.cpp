#include "binding/convert.hpp"

#include <cstring>

namespace quorral {

namespace {

// numpy's bool scalar, recognised by its type's names without importing numpy.
bool is_numpy_bool(PyObject* obj) {
    PyObject* module = PyType_GetModuleName(Py_TYPE(obj));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    const char* module_text = PyUnicode_AsUTF8(module);
    bool match = module_text && std::strcmp(module_text, "numpy") == 0;
    Py_DECREF(module);
    if (match) {
        PyObject* name = PyType_GetName(Py_TYPE(obj));
        const char* name_text = name ? PyUnicode_AsUTF8(name) : nullptr;
        match = name_text && (std::strcmp(name_text, "bool_") == 0 || std::strcmp(name_text, "bool") == 0);
        Py_XDECREF(name);
    }
    PyErr_Clear();
    return match;
}

}  // namespace

bool load_bool(PyObject* obj, bool& out) {
    if (obj == Py_True || obj == Py_False) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    raise_not_instance(obj, "bool");
    return false;
}

}  // namespace quorral
