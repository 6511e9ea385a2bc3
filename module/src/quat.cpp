// The Python class Quat.
#include "quat.hpp"

#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "applying_matrix.hpp"
#include "binding/buffer.hpp"
#include "binding/compare.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "euler_arg.hpp"
#include "exchange_order.hpp"
#include "format.hpp"
#include "quat_random.hpp"
#include "rotation_vector.hpp"

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

constexpr auto tuple_of = [](double a, double b, double c, double d) { return std::tuple{a, b, c, d}; };

Quat from_euler(galdrin::EulerSequence seq, Doubles angles, bool degrees) {
    if (angles.values.size() != 3)
        throw InvalidValue("expected 3 angles, got " + std::to_string(angles.values.size()));
    std::array<double, 3> radians;
    for (std::size_t n = 0; n < 3; ++n) radians[n] = degrees ? angles.values[n] * RADIANS_PER_DEGREE : angles.values[n];
    return galdrin::from_euler(seq, radians);
}

PyObject* to_euler(const Quat& q, galdrin::EulerSequence seq, bool degrees, bool suppress_warnings) {
    const galdrin::EulerAngles r = galdrin::to_euler(seq, q);
    const double f = degrees ? DEGREES_PER_RADIAN : 1.0;
    const auto& a = r.angles;
    return warn_gimbal_lock(to_py(degrees ? std::tuple{a[0] * f, a[1] * f, a[2] * f} : std::tuple{a[0], a[1], a[2]}),
                            r.gimbal_lock && !suppress_warnings);
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
        D::method<"from_rotation_vector(v)", [](const Vec3d& v) { return galdrin::from_rotation_vector(v); }>(),
        D::method<"to_rotation_vector($self)", [](Q q) { return to_rotation_vector(q); }>(),
        D::method<"from_xyzw(x, y, z, w)",
                  [](double x, double y, double z, double w) { return galdrin::from_xyzw(x, y, z, w); }>(),
        D::method<"from_wxyz(w, x, y, z)",
                  [](double w, double x, double y, double z) { return galdrin::from_wxyz(w, x, y, z); }>(),
        D::method<"to_xyzw($self)", [](Q q) { return std::apply(tuple_of, to_xyzw(q)); }>(),
        D::method<"to_wxyz($self)", [](Q q) { return std::apply(tuple_of, to_wxyz(q)); }>(),
        D::method<"from_applying_matrix(matrix)", [](Matrix3 m) { return galdrin::from_applying_matrix(m); }>(),
        D::method<"to_applying_matrix($self)", [](Q q) { return to_applying_matrix(q); }>(),
        D::method<"from_euler(seq, angles, degrees=False)", from_euler>(),
        D::method<"to_euler($self, seq, degrees=False, suppress_warnings=False)", to_euler>(),
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
