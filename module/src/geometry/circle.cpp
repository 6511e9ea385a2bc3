// The Python class Circle: equality by the core's tolerant rule, no ordering,
// no hash.
#include "binding/compare.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "geometry/circle.hpp"
#include "vec3d.hpp"

namespace quorral {

using galdrin::Circle;
using galdrin::Vec3d;

PyTypeObject* PyClass<Circle>::create() {
    using D = Def<Circle>;
    ClassSpec spec{.name = "Circle"};
    D::constructor<"Circle(center, radius, normal)", [](const Vec3d& center, double radius, const Vec3d& normal) {
        return Circle::make(center, radius, normal);
    }>(spec);
    spec.methods = {
        D::method<"none()", [] { return Circle::none(); }>(),
        D::method<"get_plane($self)", [](const Circle& c) { return get_plane(c); }>(),
        D::method<"in_same_plane($self, other)",
                  [](const Circle& self, const Circle& other) { return in_same_plane(self, other); }>(),
        D::method<"is_degenerate($self)", [](const Circle& c) { return is_degenerate(c); }>(),
        reduce_method<Circle>(),
    };
    spec.properties = {
        D::field<&Circle::center>("center"),
        D::field<&Circle::radius>("radius"),
        D::field<&Circle::normal>("normal"),
        D::getter<[](const Circle& c) { return area(c); }>("area"),
    };
    spec.slots = {slot(Py_tp_richcompare, &equality_richcompare<Circle>)};
    return create_type<Circle>(std::move(spec));
}

}  // namespace quorral
