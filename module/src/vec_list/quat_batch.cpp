// The batch operations of QuatList, run on the worker pool.
#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>

#include "applying_matrix.hpp"
#include "binding/arrays.hpp"
#include "binding/buffer.hpp"
#include "binding/def.hpp"
#include "euler_arg.hpp"
#include "exchange_order.hpp"
#include "quat.hpp"
#include "quat_mean.hpp"
#include "quat_random.hpp"
#include "rotation_vector.hpp"
#include "vec_list/batch.hpp"

namespace quorral {

using galdrin::AngleRadians;
using galdrin::Quat;
using galdrin::Vec3d;

namespace {

// Element i: Quat.from_axis_angle of axis i (or the one axis) and angle i.
QuatArray from_axis_angles(OneOrList<Vec3d> axes, Doubles angles) {
    const auto make = [](const Vec3d& axis, double angle) { return from_axis_angle(axis, AngleRadians{angle}); };
    if (axes.list) return map_pairs("axes", axes.list->items, "angles", angles.values, make, COSTLY_GRAIN);
    const Vec3d axis = *axes.one;
    QuatArray result;
    result.items.resize(angles.values.size());
    map_into(angles.values, result.items.data(), [axis, make](double angle) { return make(axis, angle); },
             COSTLY_GRAIN);
    return result;
}

// The sum of the outer products, each times its weight, on the core's
// summation tree, then its dominant eigenvector.
Quat mean(const QuatArray& a, std::optional<Doubles> weights) {
    const Quat* q = a.items.data();
    return with_weights(a.items.size(), weights, [&](const auto& w) {
        return galdrin::dominant_quat(tree_sum_on_pool(a.items.size(), [q, w](std::size_t i) {
            return galdrin::outer(q[i]) * w(i);
        }, galdrin::QuatOuter::zero()));
    });
}

// Element i: the rotation angle between element i and other (or other[i]), in radians.
PyObject* angle_to(const QuatArray& a, OneOrList<Quat> other) {
    const std::size_t n = a.items.size();
    if (other.list && n != other.list->items.size()) throw length_mismatch("self", n, "other", other.list->items.size());
    return float_array(n, [&](double* out) {
        map_with_into(a, other, "other", out, [](const Quat& x, const Quat& y) { return galdrin::angle_between(x, y); },
                      COSTLY_GRAIN);
    });
}

PyObject* rotation_angle(const QuatArray& a) {
    return float_array(a.items.size(), [&](double* out) {
        map_into(a.items, out, [](const Quat& q) { return galdrin::rotation_angle(q); }, COSTLY_GRAIN);
    });
}

// Element i is Quat.random(seed) of the element's own sequence, so the list
// does not depend on how the pool splits it.
QuatArray random(Index n, Index seed) {
    QuatArray result;
    if (n > result.items.max_size()) throw std::bad_alloc();
    result.items.resize(n);
    Quat* out = result.items.data();
    pool::parallel_for(n, [out, seed](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = galdrin::random_rotation(seed, i);
    }, COSTLY_GRAIN);
    return result;
}

// Element i: f of the four doubles of row i, in order.
template <class F>
QuatArray from_quad_rows(const RowsOf<4>& rows, const F& f) {
    QuatArray result;
    result.items.resize(rows.count);
    Quat* out = result.items.data();
    pool::parallel_for(rows.count, [&rows, out, f](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const char* row = rows.base + static_cast<Py_ssize_t>(i) * rows.row_stride;
            std::array<double, 4> c;
            for (std::size_t j = 0; j < 4; ++j)
                std::memcpy(&c[j], row + static_cast<Py_ssize_t>(j) * rows.column_stride, sizeof(double));
            out[i] = f(c[0], c[1], c[2], c[3]);
        }
    }, CHEAP_GRAIN);
    return result;
}

// A (n, 4) float64 view whose row i is f(element i).
template <class F>
PyObject* to_quad_rows(const QuatArray& a, const F& f) {
    const std::size_t n = a.items.size();
    return shaped_float_array({n, 4}, [&](double* out) {
        map_into(a.items, reinterpret_cast<std::array<double, 4>*>(out), f);
    });
}

// Element i: f of matrix i.
template <class F>
QuatArray from_matrices(const Matrices& m, const F& f) {
    QuatArray result;
    result.items.resize(m.count);
    Quat* out = result.items.data();
    pool::parallel_for(m.count, [&m, out, f](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = f(m[i]);
    }, COSTLY_GRAIN);
    return result;
}

// A (n, 3, 3) float64 view whose matrix i is f(element i).
template <class F>
PyObject* to_matrices(const QuatArray& a, const F& f) {
    const std::size_t n = a.items.size();
    static_assert(sizeof(Matrix3) == 9 * sizeof(double));
    return shaped_float_array({n, 3, 3}, [&](double* out) {
        map_into(a.items, reinterpret_cast<Matrix3*>(out), f, COSTLY_GRAIN);
    });
}

// Element i: Quat.from_euler(seq, row i, degrees).
QuatArray from_euler_rows(galdrin::EulerSequence seq, RowsOf<3> rows, bool degrees) {
    QuatArray result;
    result.items.resize(rows.count);
    Quat* out = result.items.data();
    const double f = degrees ? RADIANS_PER_DEGREE : 1.0;
    pool::parallel_for(rows.count, [&rows, &seq, out, f, degrees](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const char* row = rows.base + static_cast<Py_ssize_t>(i) * rows.row_stride;
            std::array<double, 3> c;
            for (std::size_t j = 0; j < 3; ++j) {
                std::memcpy(&c[j], row + static_cast<Py_ssize_t>(j) * rows.column_stride, sizeof(double));
                if (degrees) c[j] = c[j] * f;
            }
            out[i] = galdrin::from_euler(seq, c);
        }
    }, COSTLY_GRAIN);
    return result;
}

// A (n, 3) view of e.to_euler(seq, degrees), with one warning when any element
// is at gimbal lock, unless suppressed.
PyObject* to_euler_rows(const QuatArray& a, galdrin::EulerSequence seq, bool degrees, bool suppress_warnings) {
    std::atomic<bool> locked{false};
    const double f = degrees ? DEGREES_PER_RADIAN : 1.0;
    PyObject* result = shaped_float_array({a.items.size(), 3}, [&](double* out) {
        const Quat* src = a.items.data();
        pool::parallel_for(a.items.size(), [&, src, out](std::size_t begin, std::size_t end) {
            bool any = false;
            for (std::size_t i = begin; i < end; ++i) {
                const galdrin::EulerAngles r = galdrin::to_euler(seq, src[i]);
                for (std::size_t j = 0; j < 3; ++j) out[3 * i + j] = degrees ? r.angles[j] * f : r.angles[j];
                any = any || r.gimbal_lock;
            }
            if (any) locked.store(true, std::memory_order_relaxed);
        }, COSTLY_GRAIN);
    });
    return warn_gimbal_lock(result, locked.load(std::memory_order_relaxed) && !suppress_warnings);
}

}  // namespace

void add_quat_batch_operations(ClassSpec& spec) {
    using D = Def<QuatArray>;
    const std::initializer_list<PyMethodDef> methods = {
        D::method<"from_axis_angles(axes, angles)", from_axis_angles>(),
        D::method<"then($self, other)", [](const QuatArray& a, OneOrList<Quat> other) {
            return map_with(a, other, "other", [](const Quat& x, const Quat& y) { return then(x, y); });
        }>(),
        D::method<"inverse($self)", [](const QuatArray& a) {
            return map_elements(a, [](const Quat& q) { return inverse(q); }, COSTLY_GRAIN);
        }>(),
        D::method<"conjugate($self)", [](const QuatArray& a) {
            return map_elements(a, [](const Quat& q) { return conjugate(q); });
        }>(),
        D::method<"normalize($self)", [](const QuatArray& a) {
            return map_elements(a, [](const Quat& q) { return normalize(q); }, COSTLY_GRAIN);
        }>(),
        D::method<"slerp($self, other, t)", [](const QuatArray& a, OneOrList<Quat> other, double t) {
            return map_with(a, other, "other", [t](const Quat& x, const Quat& y) { return slerp(x, y, t); },
                            COSTLY_GRAIN);
        }>(),
        D::method<"mean($self, weights=None)", mean>(),
        D::method<"angle_to($self, other)", angle_to>(),
        D::method<"rotation_angle($self)", rotation_angle>(),
        D::method<"random(n, seed)", random>(),
        D::method<"rotate($self, vectors)", [](const QuatArray& a, OneOrList<Vec3d> vectors) {
            return map_with(a, vectors, "vectors", [](const Quat& q, const Vec3d& v) { return rotate(q, v); },
                            COSTLY_GRAIN);
        }>(),
        D::method<"from_rotation_vectors(vectors, scale=1.0)", [](const VecArray& vectors, double scale) {
            return map_elements(vectors, [scale](const Vec3d& v) { return galdrin::from_rotation_vector(v * scale); },
                                COSTLY_GRAIN);
        }>(),
        D::method<"to_rotation_vectors($self)", [](const QuatArray& a) {
            return map_elements(a, [](const Quat& q) { return to_rotation_vector(q); }, COSTLY_GRAIN);
        }>(),
        D::method<"from_xyzw(obj)", [](RowsOf<4> rows) {
            return from_quad_rows(rows, [](double x, double y, double z, double w) { return galdrin::from_xyzw(x, y, z, w); });
        }>(),
        D::method<"from_wxyz(obj)", [](RowsOf<4> rows) {
            return from_quad_rows(rows, [](double w, double x, double y, double z) { return galdrin::from_wxyz(w, x, y, z); });
        }>(),
        D::method<"to_xyzw($self)", [](const QuatArray& a) {
            return to_quad_rows(a, [](const Quat& q) { return galdrin::to_xyzw(q); });
        }>(),
        D::method<"to_wxyz($self)", [](const QuatArray& a) {
            return to_quad_rows(a, [](const Quat& q) { return galdrin::to_wxyz(q); });
        }>(),
        D::method<"from_rotation_matrices(matrices)", [](Matrices m) {
            return from_matrices(m, [](const Matrix3& x) { return galdrin::from_rotation_matrix(x); });
        }>(),
        D::method<"from_applying_matrices(matrices)", [](Matrices m) {
            return from_matrices(m, [](const Matrix3& x) { return galdrin::from_applying_matrix(x); });
        }>(),
        D::method<"to_rotation_matrices($self)", [](const QuatArray& a) {
            return to_matrices(a, [](const Quat& q) { return galdrin::to_rotation_matrix(q); });
        }>(),
        D::method<"to_applying_matrices($self)", [](const QuatArray& a) {
            return to_matrices(a, [](const Quat& q) { return galdrin::to_applying_matrix(q); });
        }>(),
        D::method<"from_euler(seq, angles, degrees=False)", from_euler_rows>(),
        D::method<"to_euler($self, seq, degrees=False, suppress_warnings=False)", to_euler_rows>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
}

}  // namespace quorral
