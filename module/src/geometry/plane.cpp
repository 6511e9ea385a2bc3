// The Python class Plane. No comparisons or hash of its own: planes compare
// and hash by identity.
#include "binding/arrays.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "geometry/plane.hpp"
#include "vec3d.hpp"
#include "vec_list/batch.hpp"

namespace quorral {

using galdrin::Plane;
using galdrin::Vec3d;

PyTypeObject* PyClass<Plane>::create() {
    using D = Def<Plane>;
    ClassSpec spec{.name = "Plane"};
    D::constructor<"Plane(normal, distance)",
                   [](const Vec3d& normal, double distance) { return Plane::make(normal, distance); }>(spec);
    spec.methods = {
        D::method<"from_point(normal, point)",
                  [](const Vec3d& normal, const Vec3d& point) { return Plane::from_point(normal, point); }>(),
        D::method<"from_points(point1, point2, point3)",
                  [](const Vec3d& p1, const Vec3d& p2, const Vec3d& p3) { return Plane::from_points(p1, p2, p3); }>(),
        D::method<"xy()", [] { return Plane::xy(); }>(),
        D::method<"xz()", [] { return Plane::xz(); }>(),
        D::method<"yz()", [] { return Plane::yz(); }>(),
        D::method<"contains_point($self, point)",
                  [](const Plane& plane, const Vec3d& point) { return contains_point(plane, point); }>(),
        D::method<"distance_to_point($self, point)",
                  [](const Plane& plane, const Vec3d& point) { return distance_to_point(plane, point); }>(),
        // A float for one point, an array('d') for a VecList.
        D::method<"signed_distance($self, point)", [](const Plane& plane, OneOrList<Vec3d> point) -> PyObject* {
            if (point.one) return to_py(signed_distance(plane, *point.one));
            const auto& items = point.list->items;
            return float_array(items.size(), [&](double* out) {
                map_into(items, out, [plane](const Vec3d& p) { return signed_distance(plane, p); });
            });
        }>(),
        reduce_method<Plane>(),
    };
    spec.properties = {D::field<&Plane::normal>("normal"), D::field<&Plane::distance>("distance")};
    return create_type<Plane>(std::move(spec));
}

}  // namespace quorral
