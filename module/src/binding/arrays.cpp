#include "binding/arrays.hpp"

#include <cstring>

#include "binding/once.hpp"

namespace quorral {

namespace {

// Integer formats of the struct module, optionally with the native or
// little-endian byte order; the width comes from the item size.
bool integer_format(const char* format, bool& is_signed) {
    if (!format) {
        is_signed = false;  // unsigned bytes
        return true;
    }
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (format[0] == '\0' || format[1] != '\0') return false;
    if (std::strchr("bhilqn", format[0])) {
        is_signed = true;
        return true;
    }
    is_signed = false;
    return std::strchr("BHILQN", format[0]) != nullptr;
}

OnceCell<PyObject> one_zero;  // array('d', [0.0]), repeated into each new array

}  // namespace

bool Arg<Indices>::load(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) {
        if (!load_items(obj, converted)) return false;
        value = {reinterpret_cast<const char*>(converted.data()), sizeof(Index), converted.size(), 8, false};
        return true;
    }
    if (!source.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = source.view();
    bool is_signed = false;
    const bool width_ok = view.itemsize == 1 || view.itemsize == 2 || view.itemsize == 4 || view.itemsize == 8;
    if (!integer_format(view.format, is_signed) || !width_ok) {
        PyErr_Format(PyExc_TypeError, "expected a buffer of integers, got format '%s'",
                     view.format ? view.format : "B");
        return false;
    }
    if (!one_dimensional(view)) return false;
    value = {static_cast<const char*>(view.buf), view.strides ? view.strides[0] : view.itemsize,
             static_cast<std::size_t>(view.shape[0]), static_cast<int>(view.itemsize), is_signed};
    return true;
}

PyObject* new_float_array(std::size_t n) {
    PyObject* one = one_zero.get([]() -> PyObject* {
        PyObject* module = PyImport_ImportModule("array");
        if (!module) return nullptr;
        PyObject* array = PyObject_CallMethod(module, "array", "s(d)", "d", 0.0);
        Py_DECREF(module);
        return array;
    });
    if (!one) return nullptr;
    // Repeating writes the entries by doubling copies, without a Python float per entry.
    return PySequence_Repeat(one, static_cast<Py_ssize_t>(n));
}

double* float_array_data(PyObject* array) {
    // The array is the caller's alone, so its storage stays where it is after the export ends.
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE) != 0) return nullptr;
    auto* data = static_cast<double*>(view.buf);
    PyBuffer_Release(&view);
    return data;
}

}  // namespace quorral
