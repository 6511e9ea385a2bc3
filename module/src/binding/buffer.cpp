#include "binding/buffer.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "binding/errors.hpp"

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

bool raise_format(const Py_buffer& view) {
    PyErr_Format(PyExc_TypeError, "expected a buffer of float64 (format 'd'), got format '%s'",
                 view.format ? view.format : "B");
    return false;
}

}  // namespace

bool describe_double_rows(const Py_buffer& view, std::size_t width, DoubleRows& out) {
    if (!is_double_format(view.format) || view.itemsize != 8) return raise_format(view);
    const auto w = static_cast<Py_ssize_t>(width);
    const bool rows = view.ndim == 2 && view.shape[1] == w;
    const bool flat = view.ndim == 1 && view.shape[0] % w == 0;
    if (!rows && !flat) {
        PyErr_Format(PyExc_ValueError, "expected a buffer of shape (n, %zd) or (%zdn,), got shape %s", w, w,
                     shape_text(view).c_str());
        return false;
    }
    // Strides are always given for this request; C order is assumed only if an exporter omits them.
    const Py_ssize_t last = view.strides ? view.strides[view.ndim - 1] : 8;
    out.base = static_cast<const char*>(view.buf);
    out.count = static_cast<std::size_t>(rows ? view.shape[0] : view.shape[0] / w);
    out.column_stride = last;
    out.row_stride = rows ? (view.strides ? view.strides[0] : 8 * w) : w * last;
    out.contiguous = PyBuffer_IsContiguous(&view, 'C') != 0;
    return true;
}

bool Arg<Doubles>::load(PyObject* obj) {
    std::vector<double>& out = doubles.values;
    if (PyObject_CheckBuffer(obj)) {
        BufferExport source;
        if (!source.acquire(obj, PyBUF_RECORDS_RO)) return false;
        const Py_buffer& view = source.view();
        if (!is_double_format(view.format) || view.itemsize != 8) return raise_format(view);
        if (view.ndim != 1) {
            PyErr_Format(PyExc_ValueError, "expected a buffer of shape (n,), got shape %s", shape_text(view).c_str());
            return false;
        }
        const Py_ssize_t stride = view.strides ? view.strides[0] : 8;
        out.resize(static_cast<std::size_t>(view.shape[0]));
        for (std::size_t i = 0; i < out.size(); ++i)
            std::memcpy(&out[i], static_cast<const char*>(view.buf) + static_cast<Py_ssize_t>(i) * stride, 8);
        return true;
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) return raise_not_instance(obj, "Sequence"), false;
    // A tuple of the items: a list that other threads resize is copied whole, under its lock.
    PyObject* items = PySequence_Tuple(obj);
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Arg<double> value;
        if (!value.load(PyTuple_GET_ITEM(items, i))) {
            Py_DECREF(items);
            return false;
        }
        out[static_cast<std::size_t>(i)] = value.get();
    }
    Py_DECREF(items);
    return true;
}

}  // namespace quorral
