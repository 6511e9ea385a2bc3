// VecList one coordinate at a time: columns out and in, per-element divisors,
// the perspective divide, and the points on the inner side of planes.
#include <cstddef>
#include <vector>

#include "binding/arrays.hpp"
#include "binding/def.hpp"
#include "geometry/plane.hpp"
#include "pool/pool.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

using galdrin::Plane;
using galdrin::Vec3d;

namespace {

// Coordinate `axis` (0, 1 or 2 for x, y, z) of every element.
PyObject* column(const VecArray& a, Index axis) {
    if (axis > 2) throw InvalidValue("axis must be 0, 1 or 2, not " + std::to_string(axis));
    const std::size_t n = a.items.size();
    return float_array(n, [&](double* out) {
        const auto* src = reinterpret_cast<const double*>(a.items.data()) + axis;
        pool::parallel_for(n, [src, out](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = src[3 * i];
        }, CHEAP_GRAIN);
    });
}

VecArray from_columns(Doubles x, Doubles y, Doubles z) {
    const std::size_t n = x.values.size();
    if (y.values.size() != n) throw length_mismatch("x", n, "y", y.values.size());
    if (z.values.size() != n) throw length_mismatch("x", n, "z", z.values.size());
    VecArray result;
    result.items.resize(n);
    const double *px = x.values.data(), *py = y.values.data(), *pz = z.values.data();
    Vec3d* out = result.items.data();
    pool::parallel_for(n, [px, py, pz, out](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = {px[i], py[i], pz[i]};
    }, CHEAP_GRAIN);
    return result;
}

// 1 where signed_distance(plane, p) >= 0 for every plane, else 0 (a NaN
// distance included). Every plane is tested: on points in no order, stopping
// at the first failed plane costs a mispredicted branch per point.
PyObject* inside(const VecArray& a, std::vector<Plane> planes) {
    const std::size_t n = a.items.size();
    return byte_flags(n, [&](char* out) {
        const Plane* first = planes.data();
        const Plane* last = first + planes.size();
        map_into(a.items, out, [first, last](const Vec3d& p) {
            bool kept = true;
            for (const Plane* plane = first; plane != last; ++plane) kept &= signed_distance(*plane, p) >= 0.0;
            return static_cast<char>(kept);
        });
    });
}

}  // namespace

void add_column_operations(ClassSpec& spec) {
    using D = Def<VecArray>;
    const std::initializer_list<PyMethodDef> methods = {
        D::method<"column($self, axis)", column>(),
        D::method<"from_columns(x, y, z)", from_columns>(),
        D::method<"divide_each($self, divisors)", [](const VecArray& a, Doubles divisors) {
            return map_pairs("self", a.items, "divisors", divisors.values, [](const Vec3d& v, double d) { return v / d; });
        }>(),
        D::method<"perspective_divide($self)", [](const VecArray& a) {
            return map_elements(a, [](const Vec3d& v) { return v / v.z; });
        }>(),
        D::method<"inside($self, planes)", inside>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
}

}  // namespace quorral
