// VecList with VecList: element-wise pairs, per-element factors, fused
// updates, reductions and gathers, run on the worker pool like the other
// batch operations.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/arrays.hpp"
#include "alignment.hpp"
#include "binding/def.hpp"
#include "covariance.hpp"
#include "geometry/plane.hpp"
#include "pool/pool.hpp"
#include "rigid_transform.hpp"
#include "summation.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

using galdrin::Plane;
using galdrin::Quat;
using galdrin::Vec3d;

namespace {

template <class F>
VecArray each_pair(const VecArray& a, const VecArray& b, const F& f) {
    return map_pairs("self", a.items, "other", b.items, f);
}

// An array.array('d') of op(element, other element) or op(element, other
// vector); the pairs of two lists go through `pairs`, which computes op for a
// range of them (dots, distances).
template <class Op>
PyObject* float_each(const VecArray& a, OneOrList<Vec3d> other, const Op& op,
                     void (*pairs)(const Vec3d*, const Vec3d*, double*, std::size_t)) {
    const std::size_t n = a.items.size();
    if (other.list && n != other.list->items.size()) throw length_mismatch("self", n, "other", other.list->items.size());
    return float_array(n, [&](double* out) {
        if (!other.list) return map_with_into(a, other, "other", out, op);
        const Vec3d* x = a.items.data();
        const Vec3d* y = other.list->items.data();
        pool::parallel_for(n, [x, y, out, pairs](std::size_t begin, std::size_t end) {
            pairs(x + begin, y + begin, out + begin, end - begin);
        }, CHEAP_GRAIN);
    });
}

Vec3d sum(const VecArray& a) {
    const Vec3d* items = a.items.data();
    return tree_sum_on_pool(a.items.size(), [items](std::size_t i) { return items[i]; }, Vec3d::zero());
}

Vec3d mean(const VecArray& a) { return sum(a) / static_cast<double>(a.items.size()); }

// The sum of a[i] * weight(i), divided by the weights' total.
template <class W>
Vec3d weighted_mean(const VecArray& a, const W& weight) {
    const Vec3d* x = a.items.data();
    return tree_sum_on_pool(a.items.size(), [x, weight](std::size_t i) { return x[i] * weight(i); }, Vec3d::zero()) /
           weight.total;
}

// The sum of outer(a[i] - ma, b[i] - mb) * weight(i), with ma and mb the
// weighted means (which the callers also need, so they pass them in), on the
// summation tree.
template <class W>
galdrin::Mat3 weighted_cross_covariance(const VecArray& a, const VecArray& b, const W& weight, const Vec3d& ma,
                                        const Vec3d& mb) {
    const Vec3d* x = a.items.data();
    const Vec3d* y = b.items.data();
    return galdrin::to_matrix(tree_sum_on_pool(a.items.size(), [x, y, ma, mb, weight](std::size_t i) {
        return galdrin::outer_term(x[i] - ma, y[i] - mb) * weight(i);
    }, galdrin::OuterSum::zero()));
}

void check_lengths(const VecArray& a, const VecArray& b) {
    if (a.items.size() != b.items.size()) throw length_mismatch("self", a.items.size(), "other", b.items.size());
}

galdrin::Mat3 cross_covariance(const VecArray& a, const VecArray& b, std::optional<Doubles> weights) {
    check_lengths(a, b);
    return with_weights(a.items.size(), weights, [&](const auto& w) {
        return weighted_cross_covariance(a, b, w, weighted_mean(a, w), weighted_mean(b, w));
    });
}

// sqrt of the sum of distance_squared(f(a[i]), b[i]) * weight(i) over the
// weights' total, summed on the tree.
template <class F, class W>
double rms_distance(const VecArray& a, const VecArray& b, const F& f, const W& weight) {
    const Vec3d* x = a.items.data();
    const Vec3d* y = b.items.data();
    const double s = tree_sum_on_pool(a.items.size(), [x, y, f, weight](std::size_t i) {
        return distance_squared(f(x[i]), y[i]) * weight(i);
    }, 0.0);
    return std::sqrt(s / weight.total);
}

Quat determined(const galdrin::Alignment& found) {
    if (!found.determined)
        throw InvalidValue("the points do not determine a rotation: fewer than three of them, or all on one line");
    return found.rotation;
}

// The rigid transform x minimising the sum of distance_squared(x.apply(a[i]),
// b[i]) * weight(i): the rotation from the weighted cross-covariance, the
// translation mb - rotate(q, ma) with the weighted means.
std::tuple<galdrin::RigidTransform, double> align_to(const VecArray& a, const VecArray& b,
                                                     std::optional<Doubles> weights) {
    check_lengths(a, b);
    return with_weights(a.items.size(), weights, [&](const auto& w) {
        const Vec3d ma = weighted_mean(a, w), mb = weighted_mean(b, w);
        const Quat q = determined(galdrin::rotation_aligning(weighted_cross_covariance(a, b, w, ma, mb)));
        const galdrin::RigidTransform x{q, mb - rotate(q, ma)};
        return std::tuple{x, rms_distance(a, b, [x](const Vec3d& p) { return apply(x, p); }, w)};
    });
}

// The similarity p -> x.apply(p * s) minimising the sum of distance_squared(
// x.apply(a[i] * s), b[i]) * weight(i): the rotation q of align_to, then
// s = sum(dot(b[i] - mb, rotate(q, a[i] - ma)) * weight(i)) / sum(
// dot(a[i] - ma, a[i] - ma) * weight(i)), each on the tree, and the
// translation mb - rotate(q, ma * s).
std::tuple<double, galdrin::RigidTransform, double> similarity_to(const VecArray& a, const VecArray& b,
                                                                  std::optional<Doubles> weights) {
    check_lengths(a, b);
    return with_weights(a.items.size(), weights, [&](const auto& w) {
        const Vec3d ma = weighted_mean(a, w), mb = weighted_mean(b, w);
        const Quat q = determined(galdrin::rotation_aligning(weighted_cross_covariance(a, b, w, ma, mb)));
        const Vec3d* x = a.items.data();
        const Vec3d* y = b.items.data();
        const std::size_t n = a.items.size();
        const double along = tree_sum_on_pool(n, [x, y, q, ma, mb, w](std::size_t i) {
            return dot(y[i] - mb, rotate(q, x[i] - ma)) * w(i);
        }, 0.0);
        const double spread = tree_sum_on_pool(n, [x, ma, w](std::size_t i) {
            const Vec3d d = x[i] - ma;
            return dot(d, d) * w(i);
        }, 0.0);
        const double s = along / spread;
        const galdrin::RigidTransform t{q, mb - rotate(q, ma * s)};
        return std::tuple{s, t, rms_distance(a, b, [t, s](const Vec3d& p) { return apply(t, p * s); }, w)};
    });
}

// The rotation q minimising the sum of distance_squared(rotate(q, a[i]), b[i])
// * weight(i), about the origin: from the sum of outer(a[i], b[i]) * weight(i).
std::tuple<Quat, double> rotation_to(const VecArray& a, const VecArray& b, std::optional<Doubles> weights) {
    check_lengths(a, b);
    return with_weights(a.items.size(), weights, [&](const auto& w) {
        const Vec3d* x = a.items.data();
        const Vec3d* y = b.items.data();
        const galdrin::Mat3 s = galdrin::to_matrix(tree_sum_on_pool(a.items.size(), [x, y, w](std::size_t i) {
            return galdrin::outer_term(x[i], y[i]) * w(i);
        }, galdrin::OuterSum::zero()));
        const Quat q = determined(galdrin::rotation_aligning(s));
        return std::tuple{q, rms_distance(a, b, [q](const Vec3d& p) { return rotate(q, p); }, w)};
    });
}

// cross_covariance(a, a) / (n - 1); NaN entries for fewer than two points.
galdrin::Mat3 covariance(const VecArray& a) {
    const std::size_t n = a.items.size();
    const double divisor = n < 2 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(n - 1);
    const UnitWeights unit{static_cast<double>(n)};
    const Vec3d m = weighted_mean(a, unit);
    return weighted_cross_covariance(a, a, unit, m, m) / divisor;
}

double dot_sum(const VecArray& a, const VecArray& b) {
    const std::size_t n = a.items.size();
    if (n != b.items.size()) throw length_mismatch("self", n, "other", b.items.size());
    const Vec3d* x = a.items.data();
    const Vec3d* y = b.items.data();
    return tree_sum_on_pool(n, [x, y](std::size_t i) { return dot(x[i], y[i]); }, 0.0,
                            [x, y](std::size_t first, std::size_t count, double* block) {
                                dots(x + first, y + first, block, count);
                            });
}

VecArray scale_each(const VecArray& a, Doubles factors) {
    return map_pairs("self", a.items, "factors", factors.values, [](const Vec3d& v, double f) { return v * f; });
}

// The indices are checked as the pool gathers: OverflowError if one is
// negative, else IndexError if one is past the end. An index out of range
// gathers element 0 meanwhile, and the result is dropped.
PyObject* take(const VecArray& a, Indices indices) {
    return indices.visit([&](auto read) -> PyObject* {
        using T = decltype(read(0));
        const std::size_t n = a.items.size();
        if (indices.count == 0) return to_py(VecArray{});
        std::atomic<bool> negative = false, past_end = n == 0;
        VecArray result;
        if (n > 0) {
            result.items.resize(indices.count);
            const Vec3d* src = a.items.data();
            Vec3d* dst = result.items.data();
            pool::parallel_for(indices.count, [src, dst, n, read, &negative, &past_end](std::size_t begin, std::size_t end) {
                bool below = false;
                std::uint64_t largest = 0;
                for (std::size_t i = begin; i < end; ++i) {
                    const T v = read(i);
                    if constexpr (std::is_signed_v<T>) below |= v < 0;
                    const auto u = static_cast<std::uint64_t>(v);
                    largest = std::max(largest, u);
                    dst[i] = src[u < n ? u : 0];
                }
                if (below) negative.store(true, std::memory_order_relaxed);
                if (largest >= n) past_end.store(true, std::memory_order_relaxed);
            }, CHEAP_GRAIN);
        } else if constexpr (std::is_signed_v<T>) {
            for (std::size_t i = 0; i < indices.count; ++i) negative = negative || read(i) < 0;
        }
        if (negative) {
            PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
            return nullptr;
        }
        if (past_end) throw OutOfBounds{};
        return to_py(std::move(result));
    });
}

}  // namespace

void add_pairwise_operations(ClassSpec& spec) {
    using D = Def<VecArray>;
    const std::initializer_list<PyMethodDef> methods = {
        D::method<"add_each($self, other)", [](const VecArray& a, const VecArray& b) {
            return map_component_pairs("self", a, "other", b, [](double x, double y) { return x + y; });
        }>(),
        D::method<"sub_each($self, other)", [](const VecArray& a, const VecArray& b) {
            return map_component_pairs("self", a, "other", b, [](double x, double y) { return x - y; });
        }>(),
        D::method<"cross_each($self, other)", [](const VecArray& a, const VecArray& b) {
            return each_pair(a, b, [](const Vec3d& x, const Vec3d& y) { return cross(x, y); });
        }>(),
        D::method<"dot_each($self, other)", [](const VecArray& a, OneOrList<Vec3d> other) {
            return float_each(a, other, [](const Vec3d& x, const Vec3d& y) { return dot(x, y); }, dots);
        }>(),
        D::method<"distance_each($self, other)", [](const VecArray& a, OneOrList<Vec3d> other) {
            return float_each(a, other, [](const Vec3d& x, const Vec3d& y) { return distance_to(x, y); }, distances);
        }>(),
        D::method<"dot_sum($self, other)", dot_sum>(),
        D::method<"scale_each($self, factors)", scale_each>(),
        // add_scaled(x, y, f) component by component: x + y * f.
        D::method<"add_scaled($self, other, factor)", [](const VecArray& a, const VecArray& b, double factor) {
            return map_component_pairs("self", a, "other", b, [factor](double x, double y) { return x + y * factor; });
        }>(),
        D::method<"reflect_off($self, plane, velocities)", [](VecArray& points, const Plane& plane, VecArray& velocities) {
            update_pairs("self", points.items, "velocities", velocities.items,
                         [plane](Vec3d& p, Vec3d& v) { reflect_off(plane, p, v); });
        }>(),
        D::method<"sum($self)", sum>(),
        D::method<"mean($self)", mean>(),
        D::method<"cross_covariance($self, other, weights=None)", cross_covariance>(),
        D::method<"covariance($self)", covariance>(),
        D::method<"align_to($self, other, weights=None)", align_to>(),
        D::method<"rotation_to($self, other, weights=None)", rotation_to>(),
        D::method<"similarity_to($self, other, weights=None)", similarity_to>(),
        D::method<"take($self, indices)", take>(),
        D::method<"writable($self)", writable_view>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
}

}  // namespace quorral
