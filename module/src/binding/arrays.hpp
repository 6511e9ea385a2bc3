// Arrays of numbers in and out: integer inputs given as buffers or as
// sequences, and array.array('d') results.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/convert.hpp"

namespace quorral {

// n indices: an integer buffer of shape (n,) of any width and sign, read in
// place, or the converted items of a sequence of ints. Negative entries are
// left for the user to check (the conversion of a sequence refuses them).
struct Indices {
    const char* base = nullptr;
    Py_ssize_t stride = 0;
    std::size_t count = 0;
    int width = 8;       // bytes per entry: 1, 2, 4 or 8
    bool is_signed = false;

    // Calls f(read) with read(i) giving entry i as T, where T is the entry's own type.
    template <class F>
    decltype(auto) visit(F&& f) const {
        switch (width * (is_signed ? -1 : 1)) {
            case 1: return f(reader<std::uint8_t>());
            case -1: return f(reader<std::int8_t>());
            case 2: return f(reader<std::uint16_t>());
            case -2: return f(reader<std::int16_t>());
            case 4: return f(reader<std::uint32_t>());
            case -4: return f(reader<std::int32_t>());
            case -8: return f(reader<std::int64_t>());
            default: return f(reader<std::uint64_t>());
        }
    }

private:
    template <class T>
    auto reader() const {
        return [base = base, stride = stride](std::size_t i) {
            T v;
            std::memcpy(&v, base + static_cast<Py_ssize_t>(i) * stride, sizeof v);
            return v;
        };
    }
};

template <>
struct Arg<Indices> {
    BufferExport source;
    std::vector<Index> converted;
    Indices value;
    bool load(PyObject* obj);
    Indices get() const { return value; }
};

// n flags: a buffer of shape (n,) of one-byte entries (bool, int8 or uint8;
// nonzero keeps), read in place, or the converted items of a sequence of bools.
struct Mask {
    const char* base = nullptr;
    Py_ssize_t stride = 1;
    std::size_t count = 0;

    bool operator[](std::size_t i) const { return base[static_cast<Py_ssize_t>(i) * stride] != 0; }
};

template <>
struct Arg<Mask> {
    BufferExport source;
    std::vector<char> converted;
    Mask value;
    bool load(PyObject* obj);
    Mask get() const { return value; }
};

// A new bytes object of n entries, filled by fill(char*) (which may throw).
template <class Fill>
PyObject* byte_flags(std::size_t n, const Fill& fill) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!bytes) return nullptr;
    try {
        fill(PyBytes_AS_STRING(bytes));
    } catch (...) {
        Py_DECREF(bytes);
        throw;
    }
    return bytes;
}

// A new array.array('d') of n entries, and where its entries lie. The entries
// are left uninitialised where the array module's layout allows (its memory then
// touched first by whoever writes it), else zeros. QUORRAL_FLOAT_ARRAYS=repeat in
// the environment at the first call chooses zeros.
PyObject* new_float_array(std::size_t n);
double* float_array_data(PyObject* array);

// How new_float_array makes arrays: "uninitialised" or "repeat" (nullptr with an error set).
const char* float_array_layout();

// A new array.array('d') of n entries, all written by fill(double*), or
// nullptr with an error set.
template <class Fill>
PyObject* float_array(std::size_t n, const Fill& fill) {
    PyObject* array = new_float_array(n);
    if (!array) return nullptr;
    double* data = float_array_data(array);
    if (!data && n > 0) {
        Py_DECREF(array);
        return nullptr;
    }
    try {
        fill(data);
    } catch (...) {
        Py_DECREF(array);
        throw;
    }
    return array;
}

// A memoryview of shape `shape` (C order) over a new array.array('d') of as
// many entries, all written by fill(double*), or nullptr with an error set.
// numpy.asarray of it shares the array's memory. With no entries the view
// lies over no array.
PyObject* shaped_view(PyObject* array, std::span<const Py_ssize_t> shape);

template <class Fill>
PyObject* shaped_float_array(std::initializer_list<std::size_t> shape, const Fill& fill) {
    std::size_t n = 1;
    std::array<Py_ssize_t, 3> dims{};
    std::size_t d = 0;
    for (const std::size_t extent : shape) {
        n *= extent;
        dims[d++] = static_cast<Py_ssize_t>(extent);
    }
    PyObject* array = float_array(n, fill);
    if (!array) return nullptr;
    return shaped_view(array, {dims.data(), d});
}

}  // namespace quorral
