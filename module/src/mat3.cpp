// The Python class Mat3.
#include "mat3.hpp"

#include <string>
#include <tuple>

#include "binding/buffer.hpp"
#include "binding/compare.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "format.hpp"
#include "siphash.hpp"

namespace quorral {

using galdrin::Mat3;
using galdrin::Quat;
using galdrin::Vec3d;

namespace {

static_assert(sizeof(Mat3) == 9 * sizeof(double));

const double* doubles_of(const Mat3& m) { return &m.rows[0].x; }

// Hash of the exact bits, with every NaN alike and -0 folded into +0, as Vec3d's.
Py_hash_t hash_bits(const Mat3& m) { return static_cast<Py_hash_t>(hash_double_bits<9>(doubles_of(m))); }

// "Mat3([[m00, m01, m02], [m10, m11, m12], [m20, m21, m22]])".
std::string text_form(const Mat3& m) {
    char buf[galdrin::FORMAT_BUFFER_SIZE];
    std::string text = "Mat3([";
    for (int r = 0; r < 3; ++r) {
        text += r == 0 ? "[" : ", [";
        for (int c = 0; c < 3; ++c) {
            if (c > 0) text += ", ";
            text.append(buf, galdrin::format_double(doubles_of(m)[3 * r + c], buf));
        }
        text += "]";
    }
    return text + "])";
}

// The constructor's argument.
struct Rows {
    Mat3 value;
};

// m[row, column].
struct Entry {
    Index row;
    Index column;
};

}  // namespace

// The constructor's rows: three Vec3d in an exact list or tuple are each
// copied whole, so that a row being written by another thread is read
// either before or after the write; anything else is read as FlatOrMatrix3.
template <>
struct Arg<Rows> {
    Rows rows{};
    bool load(PyObject* obj) {
        if (vector_rows(obj)) return true;
        if (PyErr_Occurred()) return false;
        Arg<FlatOrMatrix3> entries;
        if (!entries.load(obj)) return false;
        rows.value = galdrin::from_entries(entries.get().entries);
        return true;
    }
    Rows get() const { return rows; }

private:
    // True when read, false with an error set when reading failed, false
    // without one when obj is not three Vec3d.
    bool vector_rows(PyObject* obj) {
        if (!(PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) || PyObject_Length(obj) != 3) return false;
        PyObject* items = PySequence_Tuple(obj);  // a snapshot other threads cannot change
        if (!items) return false;
        bool vectors = PyTuple_GET_SIZE(items) == 3;
        for (Py_ssize_t r = 0; vectors && r < 3; ++r) vectors = instance_of<Vec3d>(PyTuple_GET_ITEM(items, r));
        bool read = vectors;
        for (Py_ssize_t r = 0; read && r < 3; ++r) {
            QuietReader<Vec3d> row;
            read = row.load(PyTuple_GET_ITEM(items, r));
            if (read) rows.value.rows[static_cast<std::size_t>(r)] = row.get();
        }
        Py_DECREF(items);
        return read;
    }
};

template <>
struct Arg<Entry> {
    Entry value{};
    bool load(PyObject* key) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
            PyErr_Format(PyExc_TypeError, "Mat3 indices are (row, column) pairs, not '%s'", Py_TYPE(key)->tp_name);
            return false;
        }
        Arg<Index> row, column;
        if (!row.load(PyTuple_GET_ITEM(key, 0)) || !column.load(PyTuple_GET_ITEM(key, 1))) return false;
        value = {row.get(), column.get()};
        return true;
    }
    Entry get() const { return value; }
};

namespace {

double entry(const Mat3& m, Entry at) {
    if (at.row > 2 || at.column > 2) throw OutOfBounds{};
    return doubles_of(m)[3 * at.row + at.column];
}

PyObject* subscript(PyObject* self, PyObject* key) {
    PyObject* sources[] = {self, key};
    return Call<entry>::run(sources, nullptr);
}

Mat3 checked_inverse(const Mat3& m) {
    if (det(m) == 0.0) throw InvalidValue("Mat3 is singular: its determinant is 0");
    return inverse(m);
}

// m @ v for a Vec3d, m @ n for a Mat3; any other operand gives NotImplemented.
PyObject* matrix_multiply(PyObject* a, PyObject* b) {
    using D = Def<Mat3>;
    if (instance_of<Vec3d>(b)) return D::binary<[](const Mat3& m, const Vec3d& v) { return m * v; }>(a, b);
    return D::binary<[](const Mat3& m, const Mat3& n) { return m * n; }>(a, b);
}

constexpr Py_ssize_t SHAPE[2] = {3, 3};
constexpr Py_ssize_t STRIDES[2] = {3 * sizeof(double), sizeof(double)};

// The nine entries as a read-only C-contiguous (3, 3) buffer of doubles, over
// the instance's own value: a Mat3 never changes, so the export holds nothing
// but the object.
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Mat3 buffers are read-only");
        return -1;
    }
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS) {
        PyErr_SetString(PyExc_BufferError, "Mat3 buffers are C-contiguous, not Fortran-contiguous");
        return -1;
    }
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    const bool with_format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    view->buf = const_cast<double*>(doubles_of(reinterpret_cast<Instance<Mat3>*>(self)->value));
    view->obj = Py_NewRef(self);
    view->len = sizeof(Mat3);
    view->readonly = 1;
    view->itemsize = with_shape || with_format ? sizeof(double) : 1;
    view->format = with_format ? const_cast<char*>("d") : nullptr;
    view->ndim = with_shape ? 2 : 1;
    view->shape = with_shape ? const_cast<Py_ssize_t*>(SHAPE) : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(STRIDES) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

}  // namespace

PyTypeObject* PyClass<Mat3>::create() {
    using D = Def<Mat3>;
    using M = const Mat3&;
    using V = const Vec3d&;
    ClassSpec spec{.name = "Mat3"};
    D::constructor<"Mat3(rows)", [](Rows rows) { return rows.value; }>(spec);
    spec.methods = {
        D::method<"identity()", [] { return Mat3::identity(); }>(),
        D::method<"diagonal(v)", [](V v) { return galdrin::diagonal(v); }>(),
        D::method<"from_rows(a, b, c)", [](V a, V b, V c) { return galdrin::from_rows(a, b, c); }>(),
        D::method<"from_columns(a, b, c)", [](V a, V b, V c) { return galdrin::from_columns(a, b, c); }>(),
        D::method<"from_rotation(quat)", [](const Quat& q) { return galdrin::from_rotation(q); }>(),
        D::method<"to_rotation($self)", [](M m) { return galdrin::to_rotation(m); }>(),
        D::method<"transpose($self)", [](M m) { return galdrin::transpose(m); }>(),
        D::method<"det($self)", [](M m) { return galdrin::det(m); }>(),
        D::method<"inverse($self)", checked_inverse>(),
        D::method<"trace($self)", [](M m) { return galdrin::trace(m); }>(),
        D::method<"eigh($self)", [](M m) {
            const galdrin::Mat3Eigen e = galdrin::eigen_symmetric(m);
            return std::tuple{e.values, e.vectors};
        }>(),
        D::method<"to_array($self)", [](M m) { return galdrin::entries(m); }>(),
        reduce_method<Mat3>(),
    };
    spec.properties = {
        D::getter<[](M m) { return std::tuple{m.rows[0], m.rows[1], m.rows[2]}; }>("rows"),
        D::getter<[](M m) {
            return std::tuple{galdrin::column(m, 0), galdrin::column(m, 1), galdrin::column(m, 2)};
        }>("columns"),
    };
    spec.slots = {
        slot(Py_nb_add, &D::binary<[](M a, M b) { return a + b; }>),
        slot(Py_nb_subtract, &D::binary<[](M a, M b) { return a - b; }>),
        slot(Py_nb_multiply, &D::multiply<[](M a, double rhs) { return a * rhs; },
                                          [](double lhs, M a) { return lhs * a; }>),
        slot(Py_nb_true_divide, &D::binary<[](M a, double rhs) { return a / rhs; }>),
        slot(Py_nb_negative, &D::unary<[](M a) { return -a; }>),
        slot(Py_nb_matrix_multiply, &matrix_multiply),
        slot(Py_mp_subscript, &subscript),
        slot(Py_tp_repr, &D::unary<text_form>),
        slot(Py_tp_hash, &D::hash<hash_bits>),
        slot(Py_tp_richcompare, &equality_richcompare<Mat3>),
        slot(Py_bf_getbuffer, &get_buffer),
    };
    add_array_protocol(spec);
    return create_type<Mat3>(std::move(spec));
}

}  // namespace quorral
