#include "binding/buffer.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace quorral {

static_assert(std::endian::native == std::endian::little, "buffers are read as little-endian doubles");

namespace {

// "d" with no byte order, the native one, or little-endian.
bool is_double_format(const char* format) {
    if (!format) return false;  // unsigned bytes
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    return std::strcmp(format, "d") == 0;
}

std::string shape_text(const Py_buffer& view) {
    std::string text = "(";
    for (int d = 0; d < view.ndim; ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(view.shape[d]);
    }
    return text + (view.ndim == 1 ? ",)" : ")");
}

}  // namespace

bool describe_double_rows(const Py_buffer& view, DoubleRows& out) {
    if (!is_double_format(view.format) || view.itemsize != 8) {
        PyErr_Format(PyExc_TypeError, "expected a buffer of float64 (format 'd'), got format '%s'",
                     view.format ? view.format : "B");
        return false;
    }
    const bool rows = view.ndim == 2 && view.shape[1] == 3;
    const bool flat = view.ndim == 1 && view.shape[0] % 3 == 0;
    if (!rows && !flat) {
        PyErr_Format(PyExc_ValueError, "expected a buffer of shape (n, 3) or (3n,), got shape %s",
                     shape_text(view).c_str());
        return false;
    }
    // Strides are always given for this request; C order is assumed only if an exporter omits them.
    const Py_ssize_t last = view.strides ? view.strides[view.ndim - 1] : 8;
    out.base = static_cast<const char*>(view.buf);
    out.count = static_cast<std::size_t>(rows ? view.shape[0] : view.shape[0] / 3);
    out.column_stride = last;
    out.row_stride = rows ? (view.strides ? view.strides[0] : 24) : 3 * last;
    out.contiguous = PyBuffer_IsContiguous(&view, 'C') != 0;
    return true;
}

bool Arg<Bytes>::load(PyObject* obj) {
    if (!source.acquire(obj, PyBUF_FULL_RO)) {
        PyObject* err = PyErr_GetRaisedException();
        if (!PyErr_GivenExceptionMatches(err, PyExc_BufferError)) {
            PyErr_SetRaisedException(err);
            return false;
        }
        PyObject* text = PyObject_Str(err);
        if (text) {
            PyErr_SetObject(PyExc_TypeError, text);
            Py_DECREF(text);
        }
        Py_DECREF(err);
        return false;
    }
    const Py_buffer& v = source.view();
    const auto size = static_cast<std::size_t>(v.len);
    if (PyBuffer_IsContiguous(&v, 'C')) {
        bytes.data = {static_cast<const std::byte*>(v.buf), size};
        return true;
    }
    copy.resize(size);
    if (PyBuffer_ToContiguous(copy.data(), &v, v.len, 'C') < 0) return false;
    bytes.data = copy;
    return true;
}

namespace {

PyObject* array_of_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* NAMES[] = {"dtype", "copy"};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "__array__() takes at most 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* options = PyDict_New();
    if (!options) return nullptr;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < nargs; ++i) ok = PyDict_SetItemString(options, NAMES[i], args[i]) == 0;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; ok && i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_EqualToUTF8(name, NAMES[0]) && !PyUnicode_EqualToUTF8(name, NAMES[1])) {
            PyErr_Format(PyExc_TypeError, "__array__() got an unexpected keyword argument '%U'", name);
            ok = false;
        } else if (PyDict_Contains(options, name) == 1) {
            PyErr_Format(PyExc_TypeError, "__array__() got multiple values for argument '%U'", name);
            ok = false;
        } else {
            ok = PyDict_SetItem(options, name, args[nargs + i]) == 0;
        }
    }
    PyObject* numpy = ok ? PyImport_ImportModule("numpy") : nullptr;
    PyObject* asarray = numpy ? PyObject_GetAttrString(numpy, "asarray") : nullptr;
    PyObject* view = asarray ? PyMemoryView_FromObject(self) : nullptr;
    PyObject* view_args = view ? PyTuple_Pack(1, view) : nullptr;
    PyObject* result = view_args ? PyObject_Call(asarray, view_args, options) : nullptr;
    Py_XDECREF(view_args);
    Py_XDECREF(view);
    Py_XDECREF(asarray);
    Py_XDECREF(numpy);
    Py_DECREF(options);
    return result;
}

}  // namespace

void add_array_protocol(ClassSpec& spec) {
    spec.methods.push_back({"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&array_of_export)),
                            METH_FASTCALL | METH_KEYWORDS, "__array__($self, dtype=None, copy=None)\n--\n\n"});
    spec.nones.push_back("__array_ufunc__");
}

}  // namespace quorral
