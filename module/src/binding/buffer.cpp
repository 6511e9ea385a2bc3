#include "binding/buffer.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace quorral {

static_assert(std::endian::native == std::endian::little, "buffers are read as little-endian doubles");

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

}  // namespace quorral
