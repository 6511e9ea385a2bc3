// Arguments read through the buffer protocol. Each holder keeps the export
// for the call and releases it with the holder.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

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

// The bytes of any C-contiguous buffer.
struct Bytes {
    std::span<const std::byte> data;
};

template <>
struct Arg<Bytes> {
    BufferExport source;
    bool load(PyObject* obj) { return source.acquire(obj, PyBUF_SIMPLE); }
    Bytes get() const {
        const Py_buffer& v = source.view();
        return {{static_cast<const std::byte*>(v.buf), static_cast<std::size_t>(v.len)}};
    }
};

// Whether a buffer format names native (little-endian) doubles.
bool is_double_format(const char* format);

// "(2, 3)" or "(4,)".
std::string shape_text(const Py_buffer& view);

// Float64 values of any buffer, read as rows of three: shape (n, 3), or a flat
// (3n,) read row by row. Element (i, j) is at base + i*row_stride + j*column_stride.
// Only doubles in the native (little-endian) byte order are taken: other
// element types are refused, never reinterpreted.
struct DoubleRows {
    const char* base = nullptr;
    std::size_t count = 0;
    Py_ssize_t row_stride = 0;
    Py_ssize_t column_stride = 0;
    bool contiguous = false;  // count rows of 24 bytes, back to back
};

// Fills `out` from an export, or raises TypeError naming its format or
// ValueError naming its shape.
bool describe_double_rows(const Py_buffer& view, DoubleRows& out);

template <>
struct Arg<DoubleRows> {
    BufferExport source;
    DoubleRows rows;
    bool load(PyObject* obj) {
        return source.acquire(obj, PyBUF_RECORDS_RO) && describe_double_rows(source.view(), rows);
    }
    const DoubleRows& get() const { return rows; }
};

}  // namespace quorral
