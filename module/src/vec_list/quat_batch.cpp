// The batch operations of QuatList, run on the worker pool.
#include <new>

#include "binding/arrays.hpp"
#include "binding/buffer.hpp"
#include "binding/def.hpp"
#include "quat.hpp"
#include "quat_mean.hpp"
#include "quat_random.hpp"
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

// The sum of the outer products on the core's summation tree, then its dominant eigenvector.
Quat mean(const QuatArray& a) {
    const Quat* q = a.items.data();
    return galdrin::dominant_quat(
        tree_sum_on_pool(a.items.size(), [q](std::size_t i) { return galdrin::outer(q[i]); }, galdrin::QuatOuter::zero()));
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
        D::method<"mean($self)", mean>(),
        D::method<"angle_to($self, other)", angle_to>(),
        D::method<"rotation_angle($self)", rotation_angle>(),
        D::method<"random(n, seed)", random>(),
        D::method<"rotate($self, vectors)", [](const QuatArray& a, OneOrList<Vec3d> vectors) {
            return map_with(a, vectors, "vectors", [](const Quat& q, const Vec3d& v) { return rotate(q, v); },
                            COSTLY_GRAIN);
        }>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
}

}  // namespace quorral
