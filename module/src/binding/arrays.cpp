#include "binding/arrays.hpp"

#include <cstdlib>
#include <cstring>

#include "binding/once.hpp"
#include "vec_list/vec_array.hpp"

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

// Where an array object keeps its entries, found once by probing real arrays:
// a pointer to them and their allocated count right after the object's header
// (`pointer`, as on CPython 3.13 to 3.15), memory the array frees with
// PyMem_Free. With any other layout (`repeat`) new arrays are made by
// repeating one zero.
enum class Layout { repeat, pointer };

struct FloatArrays {
    PyObject* zero;  // array('d', [0.0])
    Layout layout;
};

OnceCell<FloatArrays> float_arrays;

// Word k of the fields that follow an array's PyVarObject header.
template <class T>
T field(PyObject* array, std::size_t k) {
    T value;
    std::memcpy(&value, reinterpret_cast<const char*>(array) + sizeof(PyVarObject) + k * sizeof(void*), sizeof value);
    return value;
}

template <class T>
void set_field(PyObject* array, std::size_t k, T value) {
    std::memcpy(reinterpret_cast<char*>(array) + sizeof(PyVarObject) + k * sizeof(void*), &value, sizeof value);
}

// Gives the empty array `array` n > 0 uninitialised entries in the pointer
// layout; false (no error set) when memory runs out.
bool install(PyObject* array, std::size_t n) {
    void* items = PyMem_Malloc(n * sizeof(double));
    if (!items) return false;
    LargeBlocks::advise(items, n * sizeof(double));  // before the first touch: fewer page faults
    set_field(array, 0, items);
    set_field(array, 1, static_cast<Py_ssize_t>(n));
    Py_SET_SIZE(array, static_cast<Py_ssize_t>(n));
    return true;
}

// Where the entries of `array` lie and how many bytes they take, or nullptr.
const char* entries(PyObject* array, Py_ssize_t& bytes) {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_SIMPLE) != 0) return nullptr;
    const auto* data = static_cast<const char*>(view.buf);
    bytes = view.len;
    PyBuffer_Release(&view);
    return data;
}

// The layout of an array of 5 zeros and an empty one, each field checked
// against the buffer they export (entries, allocated count, item descriptor,
// object size); then one array made that way is read back.
Layout probe_layout(PyObject* zero) {
    constexpr Py_ssize_t N = 5;
    PyObject* full = PySequence_Repeat(zero, N);
    PyObject* empty = PySequence_Repeat(zero, 0);
    Layout layout = Layout::repeat;
    Py_ssize_t bytes = 0;
    const char* data = full && empty ? entries(full, bytes) : nullptr;
    if (data && bytes == N * static_cast<Py_ssize_t>(sizeof(double)) && Py_SIZE(full) == N && Py_SIZE(empty) == 0 &&
        Py_TYPE(full) == Py_TYPE(empty) &&
        static_cast<std::size_t>(Py_TYPE(full)->tp_basicsize) == sizeof(PyVarObject) + 5 * sizeof(void*) &&
        field<const char*>(full, 0) == data && field<Py_ssize_t>(full, 1) == N && field<void*>(empty, 0) == nullptr &&
        field<Py_ssize_t>(empty, 1) == 0 && field<void*>(full, 2) == field<void*>(empty, 2)) {
        layout = Layout::pointer;
    }
    if (layout == Layout::pointer) {
        // Written through the pointer installed, read back through the buffer and the items.
        PyObject* trial = PySequence_Repeat(zero, 0);
        bool ok = trial && install(trial, 3);
        double* items = ok ? const_cast<double*>(reinterpret_cast<const double*>(entries(trial, bytes))) : nullptr;
        ok = items && bytes == 3 * static_cast<Py_ssize_t>(sizeof(double));
        if (ok) {
            items[0] = 1.0, items[1] = 2.0, items[2] = 4.0;
            PyObject* last = PySequence_GetItem(trial, 2);
            ok = last && PyFloat_Check(last) && PyFloat_AS_DOUBLE(last) == 4.0 && PySequence_Size(trial) == 3;
            Py_XDECREF(last);
        }
        Py_XDECREF(trial);
        if (!ok) layout = Layout::repeat;
    }
    Py_XDECREF(full);
    Py_XDECREF(empty);
    PyErr_Clear();  // a failed probe only means repeating
    return layout;
}

FloatArrays* make_float_arrays() {
    PyObject* module = PyImport_ImportModule("array");
    if (!module) return nullptr;
    PyObject* zero = PyObject_CallMethod(module, "array", "s(d)", "d", 0.0);
    Py_DECREF(module);
    if (!zero) return nullptr;
    const char* forced = std::getenv("QUORRAL_FLOAT_ARRAYS");
    const bool repeat = forced && std::strcmp(forced, "repeat") == 0;
    // Never destroyed: arrays may still be made while the process exits.
    return new FloatArrays{zero, repeat ? Layout::repeat : probe_layout(zero)};
}

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

bool Arg<Mask>::load(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) {
        std::vector<bool> flags;
        if (!load_items(obj, flags)) return false;
        converted.assign(flags.begin(), flags.end());
        value = {converted.data(), 1, converted.size()};
        return true;
    }
    if (!source.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = source.view();
    const char* format = view.format ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (view.itemsize != 1 || format[0] == '\0' || format[1] != '\0' || !std::strchr("?bB", format[0])) {
        PyErr_Format(PyExc_TypeError, "expected a buffer of bools or bytes, got format '%s'",
                     view.format ? view.format : "B");
        return false;
    }
    if (!one_dimensional(view)) return false;
    value = {static_cast<const char*>(view.buf), view.strides ? view.strides[0] : 1,
             static_cast<std::size_t>(view.shape[0])};
    return true;
}

PyObject* new_float_array(std::size_t n) {
    const FloatArrays* arrays = float_arrays.get(make_float_arrays);
    if (!arrays) return nullptr;
    if (arrays->layout == Layout::repeat || n == 0) {
        // Repeating writes the entries by doubling copies, without a Python float per entry.
        return PySequence_Repeat(arrays->zero, static_cast<Py_ssize_t>(n));
    }
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double) - 1) return PyErr_NoMemory();
    PyObject* array = PySequence_Repeat(arrays->zero, 0);
    if (array && !install(array, n)) {
        Py_DECREF(array);
        return PyErr_NoMemory();
    }
    return array;
}

const char* float_array_layout() {
    const FloatArrays* arrays = float_arrays.get(make_float_arrays);
    if (!arrays) return nullptr;
    return arrays->layout == Layout::repeat ? "repeat" : "uninitialised";
}

double* float_array_data(PyObject* array) {
    // The array is the caller's alone, so its storage stays where it is after the export ends.
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE) != 0) return nullptr;
    auto* data = static_cast<double*>(view.buf);
    PyBuffer_Release(&view);
    return data;
}

PyObject* shaped_view(PyObject* array, std::span<const Py_ssize_t> shape) {
    std::array<Py_ssize_t, 3> strides{};
    Py_ssize_t stride = sizeof(double);
    for (std::size_t d = shape.size(); d-- > 0;) {
        strides[d] = stride;
        stride *= shape[d];
    }
    if (stride == 0) {
        // memoryview.cast refuses a zero extent; an empty view needs no owner.
        Py_DECREF(array);
        static double nothing = 0.0;
        Py_buffer view{};
        view.buf = &nothing;
        view.itemsize = sizeof(double);
        view.format = const_cast<char*>("d");
        view.ndim = static_cast<int>(shape.size());
        view.shape = const_cast<Py_ssize_t*>(shape.data());
        view.strides = strides.data();
        return PyMemoryView_FromBuffer(&view);
    }
    PyObject* flat = PyMemoryView_FromObject(array);
    Py_DECREF(array);
    PyObject* bytes = flat ? PyObject_CallMethod(flat, "cast", "s", "B") : nullptr;
    Py_XDECREF(flat);
    PyObject* dims = bytes ? PyTuple_New(static_cast<Py_ssize_t>(shape.size())) : nullptr;
    for (std::size_t d = 0; dims && d < shape.size(); ++d) {
        PyObject* extent = PyLong_FromSsize_t(shape[d]);
        if (!extent) Py_CLEAR(dims);
        else PyTuple_SET_ITEM(dims, static_cast<Py_ssize_t>(d), extent);
    }
    PyObject* view = dims ? PyObject_CallMethod(bytes, "cast", "sO", "d", dims) : nullptr;
    Py_XDECREF(dims);
    Py_XDECREF(bytes);
    return view;
}

}  // namespace quorral
