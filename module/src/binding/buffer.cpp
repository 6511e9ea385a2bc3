#include "binding/buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "binding/errors.hpp"

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

bool one_dimensional(const Py_buffer& view) {
    if (view.ndim == 1) return true;
    PyErr_Format(PyExc_ValueError, "expected a buffer of shape (n,), got shape %s", shape_text(view).c_str());
    return false;
}

PyObject* sequence_items(PyObject* obj) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return raise_not_instance(obj, "Sequence");
    return PySequence_Tuple(obj);
}

namespace {

// Raises TypeError naming the format unless the elements are native doubles.
bool require_doubles(const Py_buffer& view) {
    if (is_double_format(view.format) && view.itemsize == 8) return true;
    PyErr_Format(PyExc_TypeError, "expected a buffer of float64 (format 'd'), got format '%s'",
                 view.format ? view.format : "B");
    return false;
}

// Shape (N, N) in any layout, and with `flat` also (N * N,) read row by row.
template <std::size_t N>
bool square_from_buffer(PyObject* obj, std::array<std::array<double, N>, N>& out, bool flat) {
    constexpr auto n = static_cast<Py_ssize_t>(N);
    BufferExport source;
    if (!source.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = source.view();
    if (!require_doubles(view)) return false;
    const bool square = view.ndim == 2 && view.shape[0] == n && view.shape[1] == n;
    const bool whole = flat && view.ndim == 1 && view.shape[0] == n * n;
    if (!square && !whole) {
        const std::string also = flat ? " or (" + std::to_string(n * n) + ",)" : "";
        PyErr_Format(PyExc_ValueError, "expected a buffer of shape (%zd, %zd)%s, got shape %s", n, n, also.c_str(),
                     shape_text(view).c_str());
        return false;
    }
    const Py_ssize_t last = view.strides ? view.strides[view.ndim - 1] : 8;
    const Py_ssize_t row_stride = square ? (view.strides ? view.strides[0] : 8 * n) : n * last;
    const Py_ssize_t column_stride = last;
    const char* base = static_cast<const char*>(view.buf);
    for (Py_ssize_t r = 0; r < n; ++r)
        for (Py_ssize_t c = 0; c < n; ++c)
            std::memcpy(&out[r][c], base + r * row_stride + c * column_stride, sizeof(double));
    return true;
}

template <std::size_t N>
bool square_row(PyObject* row, Py_ssize_t r, std::array<double, N>& out) {
    constexpr auto n = static_cast<Py_ssize_t>(N);
    PyObject* items = sequence_items(row);
    if (!items) return false;
    const Py_ssize_t length = PyTuple_GET_SIZE(items);
    bool ok = length == n;
    if (!ok)
        PyErr_Format(PyExc_ValueError, "expected a sequence of %zd rows of %zd floats, got row %zd of length %zd", n, n,
                     r, length);
    for (Py_ssize_t c = 0; ok && c < n; ++c) {
        Arg<double> entry;
        ok = entry.load(PyTuple_GET_ITEM(items, c));
        out[c] = entry.get();
    }
    Py_DECREF(items);
    return ok;
}

// Rows of a sequence (not a str), each a sequence of N numbers.
template <std::size_t N>
bool square_from_sequence(PyObject* obj, std::array<std::array<double, N>, N>& out) {
    constexpr auto n = static_cast<Py_ssize_t>(N);
    PyObject* rows = sequence_items(obj);
    if (!rows) return false;
    const Py_ssize_t length = PyTuple_GET_SIZE(rows);
    bool ok = length == n;
    if (!ok) PyErr_Format(PyExc_ValueError, "expected a sequence of %zd rows of %zd floats, got length %zd", n, n, length);
    for (Py_ssize_t r = 0; ok && r < n; ++r) ok = square_row<N>(PyTuple_GET_ITEM(rows, r), r, out[r]);
    Py_DECREF(rows);
    return ok;
}

// The items of an exact list or tuple of length 3, or none (no error set).
// With the global lock they are borrowed: nothing that reads them runs Python
// code. Without it they are new references, a list's taken under its lock.
class ThreeItems {
public:
    explicit ThreeItems(PyObject* obj) {
        if (PyTuple_CheckExact(obj)) {
            if (Py_SIZE(obj) == 3) take(&PyTuple_GET_ITEM(obj, 0));
        } else if (PyList_CheckExact(obj)) {
            Py_BEGIN_CRITICAL_SECTION(obj);
            if (Py_SIZE(obj) == 3) take(reinterpret_cast<PyListObject*>(obj)->ob_item);
            Py_END_CRITICAL_SECTION();
        }
    }
    ThreeItems(const ThreeItems&) = delete;
    ~ThreeItems() {
#ifdef Py_GIL_DISABLED
        if (found_)
            for (PyObject* item : items_) Py_DECREF(item);
#endif
    }
    explicit operator bool() const { return found_; }
    PyObject* operator[](int n) const { return items_[n]; }

private:
    void take(PyObject* const* items) {
        for (int n = 0; n < 3; ++n) {
#ifdef Py_GIL_DISABLED
            items_[n] = Py_NewRef(items[n]);
#else
            items_[n] = items[n];
#endif
        }
        found_ = true;
    }

    PyObject* items_[3]{};
    bool found_ = false;
};

// Exact floats in exact lists or tuples, read without running any Python code;
// false without an error for anything else, which takes the general path.
bool matrix3_in_place(PyObject* obj, Matrix3& out) {
    const ThreeItems rows(obj);
    if (!rows) return false;
    for (int r = 0; r < 3; ++r) {
        const ThreeItems entries(rows[r]);
        if (!entries) return false;
        for (int c = 0; c < 3; ++c) {
            if (!PyFloat_CheckExact(entries[c])) return false;
            out[r][c] = PyFloat_AS_DOUBLE(entries[c]);
        }
    }
    return true;
}

}  // namespace

bool load_matrix3(PyObject* obj, Matrix3& out, bool flat) {
    if (matrix3_in_place(obj, out)) return true;
    if (PyObject_CheckBuffer(obj)) return square_from_buffer<3>(obj, out, flat);
    return square_from_sequence<3>(obj, out);
}

bool load_matrix4(PyObject* obj, Matrix4& out) {
    if (PyObject_CheckBuffer(obj)) return square_from_buffer<4>(obj, out, false);
    return square_from_sequence<4>(obj, out);
}

bool describe_double_rows(const Py_buffer& view, std::size_t width, DoubleRows& out) {
    if (!require_doubles(view)) return false;
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

bool Arg<Matrices>::load(PyObject* obj) {
    if (!source.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = source.view();
    if (!require_doubles(view)) return false;
    if (view.ndim != 3 || view.shape[1] != 3 || view.shape[2] != 3) {
        PyErr_Format(PyExc_ValueError, "expected a buffer of shape (n, 3, 3), got shape %s", shape_text(view).c_str());
        return false;
    }
    matrices.base = static_cast<const char*>(view.buf);
    matrices.count = static_cast<std::size_t>(view.shape[0]);
    // Strides are always given for this request; C order is assumed only if an exporter omits them.
    matrices.strides = view.strides ? std::array{view.strides[0], view.strides[1], view.strides[2]}
                                    : std::array<Py_ssize_t, 3>{72, 24, 8};
    return true;
}

bool Arg<Doubles>::load(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) {
        if (!load_items(obj, copy)) return false;
        doubles.values = copy;
        return true;
    }
    if (!source.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = source.view();
    if (!require_doubles(view) || !one_dimensional(view)) return false;
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides ? view.strides[0] : 8;
    const char* base = static_cast<const char*>(view.buf);
    if (stride == 8 && reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0) {
        doubles.values = {reinterpret_cast<const double*>(base), n};
        return true;
    }
    copy.resize(n);
    for (std::size_t i = 0; i < n; ++i) std::memcpy(&copy[i], base + static_cast<Py_ssize_t>(i) * stride, 8);
    doubles.values = copy;
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
