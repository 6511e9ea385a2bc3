// Arguments read through the buffer protocol. Each holder keeps the export
// for the call and releases it with the holder.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/convert.hpp"

namespace quorral {

// One buffer export, released on destruction.
class BufferExport {
public:
    BufferExport() = default;
    BufferExport(const BufferExport&) = delete;
    ~BufferExport() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The bytes of any buffer, in C order.
struct Bytes {
    std::span<const std::byte> data;
};

// A C-contiguous export is read in place, any other one copied. An exporter
// that refuses the request with BufferError is refused with TypeError.
template <>
struct Arg<Bytes> {
    BufferExport source;
    std::vector<std::byte> copy;
    Bytes bytes;
    bool load(PyObject* obj);
    Bytes get() const { return bytes; }
};

// Whether a buffer format names native (little-endian) doubles.
bool is_double_format(const char* format);

// "(2, 3)" or "(4,)".
std::string shape_text(const Py_buffer& view);

// Raises ValueError naming the shape unless the buffer is one-dimensional.
bool one_dimensional(const Py_buffer& view);

// A sequence other than a str, as a tuple of its items (a snapshot that other
// threads cannot change), or nullptr with TypeError.
PyObject* sequence_items(PyObject* obj);

// The items of a sequence (not a str), each converted by Arg<T>, taken from
// its snapshot; a conversion error passes unchanged.
template <class T>
bool load_items(PyObject* obj, std::vector<T>& out) {
    PyObject* items = sequence_items(obj);
    if (!items) return false;
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(items));
    out.resize(n);
    bool ok = true;
    for (std::size_t i = 0; ok && i < n; ++i) {
        Arg<T> item;
        ok = item.load(PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(i)));
        if (ok) out[i] = item.get();
    }
    Py_DECREF(items);
    return ok;
}

// Float64 values of any buffer, read as rows of `width`: shape (n, width), or
// a flat (width*n,) read row by row. Element (i, j) is at base + i*row_stride
// + j*column_stride. Only doubles in the native (little-endian) byte order are
// taken: other element types are refused, never reinterpreted.
struct DoubleRows {
    const char* base = nullptr;
    std::size_t count = 0;
    Py_ssize_t row_stride = 0;
    Py_ssize_t column_stride = 0;
    bool contiguous = false;  // count rows of width doubles, back to back
};

// Fills `out` from an export, or raises TypeError naming its format or
// ValueError naming its shape.
bool describe_double_rows(const Py_buffer& view, std::size_t width, DoubleRows& out);

// The rows of a parameter that reads elements of Width doubles.
template <std::size_t Width>
struct RowsOf : DoubleRows {};

template <std::size_t Width>
struct Arg<RowsOf<Width>> {
    BufferExport source;
    RowsOf<Width> rows;
    bool load(PyObject* obj) {
        return source.acquire(obj, PyBUF_RECORDS_RO) && describe_double_rows(source.view(), Width, rows);
    }
    const RowsOf<Width>& get() const { return rows; }
};

// A one-dimensional float64 buffer, or else a sequence of numbers (each read
// as a float argument is), in order. A contiguous, aligned buffer is read in
// place for the call; any other source is copied.
struct Doubles {
    std::span<const double> values;
};

template <>
struct Arg<Doubles> {
    BufferExport source;
    std::vector<double> copy;
    Doubles doubles;
    bool load(PyObject* obj);
    Doubles get() const { return doubles; }
};

// A 3x3 matrix of doubles, row by row: a float64 buffer of shape (3, 3) (the
// element type as for DoubleRows), or else a sequence (not a str) of three
// sequences of three numbers, each converted by the float rule. Rows are read
// in order, each checked for its length before its entries are converted.
using Matrix3 = std::array<std::array<double, 3>, 3>;

bool load_matrix3(PyObject* obj, Matrix3& out, bool flat = false);

template <>
struct Arg<Matrix3> {
    Matrix3 value{};
    bool load(PyObject* obj) { return load_matrix3(obj, value); }
    const Matrix3& get() const { return value; }
};

// n 3x3 matrices of doubles: a float64 buffer of shape (n, 3, 3) (the element
// type as for DoubleRows), read in place. Entry (m, r, c) is at
// base + m*strides[0] + r*strides[1] + c*strides[2].
struct Matrices {
    const char* base = nullptr;
    std::size_t count = 0;
    std::array<Py_ssize_t, 3> strides{};

    Matrix3 operator[](std::size_t m) const {
        Matrix3 out;
        const char* first = base + static_cast<Py_ssize_t>(m) * strides[0];
        for (Py_ssize_t r = 0; r < 3; ++r)
            for (Py_ssize_t c = 0; c < 3; ++c)
                std::memcpy(&out[r][c], first + r * strides[1] + c * strides[2], sizeof(double));
        return out;
    }
};

template <>
struct Arg<Matrices> {
    BufferExport source;
    Matrices matrices;
    bool load(PyObject* obj);
    const Matrices& get() const { return matrices; }
};

// A 4x4 matrix of doubles, row by row, read as Matrix3 is (without its
// shortcut for exact lists of floats): a float64 buffer of shape (4, 4), or
// four sequences of four numbers.
using Matrix4 = std::array<std::array<double, 4>, 4>;

bool load_matrix4(PyObject* obj, Matrix4& out);

template <>
struct Arg<Matrix4> {
    Matrix4 value{};
    bool load(PyObject* obj) { return load_matrix4(obj, value); }
    const Matrix4& get() const { return value; }
};

// A Matrix3 as above, or else a float64 buffer of shape (9,) read row by row.
struct FlatOrMatrix3 {
    Matrix3 entries;
};

template <>
struct Arg<FlatOrMatrix3> {
    FlatOrMatrix3 value{};
    bool load(PyObject* obj) { return load_matrix3(obj, value.entries, true); }
    const FlatOrMatrix3& get() const { return value; }
};

// numpy's protocol for a class that exports its elements as a buffer: numpy
// leaves operators to the class (__array_ufunc__ = None), and __array__(dtype,
// copy) gives numpy.asarray of a memoryview of the export. numpy asks for
// __array__ only when its own export request failed, and drops that error: a
// refused export (a writer holds the object) is raised again from here, where
// numpy would otherwise build an object array of the elements.
void add_array_protocol(ClassSpec& spec);

}  // namespace quorral
