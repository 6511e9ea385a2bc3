// The Python class Quat.
#include "quat.hpp"

#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "binding/buffer.hpp"
#include "binding/compare.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "format.hpp"
#include "quat_random.hpp"

namespace quorral {

using galdrin::AngleRadians;
using galdrin::Quat;
using galdrin::Vec3d;

std::size_t write_text(const Quat& q, char* const out) { return write_call_text("Quat", {q.w, q.i, q.j, q.k}, out); }

namespace {

std::string text_form(const Quat& q) {
    char buf[QUAT_TEXT_SIZE];
    return {buf, write_text(q, buf)};
}

}  // namespace

PyTypeObject* PyClass<Quat>::create() {
    using D = Def<Quat>;
    using Q = const Quat&;
    ClassSpec spec{.name = "Quat"};
    D::constructor<"Quat(w, i, j, k)", [](double w, double i, double j, double k) { return Quat{w, i, j, k}; }>(spec);
    spec.methods = {
        D::method<"identity()", [] { return Quat::identity(); }>(),
        D::method<"from_axis_angle(axis, angle)",
                  [](const Vec3d& axis, AngleRadians angle) { return from_axis_angle(axis, angle); }>(),
        D::method<"rotate($self, v)", [](Q q, const Vec3d& v) { return rotate(q, v); }>(),
        D::method<"conjugate($self)", [](Q q) { return conjugate(q); }>(),
        D::method<"normalize($self)", [](Q q) { return normalize(q); }>(),
        D::method<"magnitude($self)", [](Q q) { return magnitude(q); }>(),
        D::method<"is_unit($self)", [](Q q) { return is_unit(q); }>(),
        D::method<"to_vec3d($self)",
                  [](Q q) {
                      const auto [i, j, k] = to_vec3d(q);
                      return std::tuple{i, j, k};
                  }>(),
        D::method<"to_axis_angle($self)",
                  [](Q q) {
                      const galdrin::AxisAngle r = to_axis_angle(q);
                      return std::pair{r.axis, r.angle};
                  }>(),
        D::method<"to_rotation_matrix($self)", [](Q q) { return to_rotation_matrix(q); }>(),
        D::method<"then($self, other)", [](Q a, Q b) { return then(a, b); }>(),
        D::method<"inverse($self)", [](Q q) { return inverse(q); }>(),
        D::method<"dot($self, other)", [](Q a, Q b) { return dot(a, b); }>(),
        D::method<"slerp($self, other, t)", [](Q a, Q b, double t) { return slerp(a, b, t); }>(),
        D::method<"angle_to($self, other)", [](Q a, Q b) { return AngleRadians{galdrin::angle_between(a, b)}; }>(),
        D::method<"rotation_angle($self)", [](Q q) { return AngleRadians{galdrin::rotation_angle(q)}; }>(),
        D::method<"random(seed)", [](Index seed) { return galdrin::random_rotation(seed, 0); }>(),
        D::method<"from_rotation_matrix(matrix)", [](Matrix3 m) { return galdrin::from_rotation_matrix(m); }>(),
        D::method<"rotation_between(a, b)",
                  [](const Vec3d& a, const Vec3d& b) { return rotation_between(a, b); }>(),
        reduce_method<Quat>(),
    };
    spec.properties = {D::field<&Quat::w>("w"), D::field<&Quat::i>("i"), D::field<&Quat::j>("j"),
                       D::field<&Quat::k>("k")};
    spec.slots = {
        slot(Py_tp_repr, &D::unary<text_form>),
        slot(Py_tp_richcompare, &tolerant_richcompare<Quat>),
    };
    return create_type<Quat>(std::move(spec));
}

}  // namespace quorral
