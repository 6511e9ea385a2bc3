// The Python class RigidTransform.
#include "rigid_transform.hpp"

#include <cstring>
#include <string>

#include "binding/buffer.hpp"
#include "binding/compare.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "format.hpp"
#include "siphash.hpp"
#include "vec_list/batch.hpp"

namespace quorral {

using galdrin::Mat3;
using galdrin::Quat;
using galdrin::RigidTransform;
using galdrin::Vec3d;

std::size_t write_text(const RigidTransform& x, char* const out) {
    char* p = out;
    const auto put = [&](const char* s) { p += std::strlen(std::strcpy(p, s)); };
    put("RigidTransform(");
    p += write_text(x.rotation, p);
    put(", ");
    p += write_text(x.translation, p);
    put(")");
    return static_cast<std::size_t>(p - out);
}

namespace {

static_assert(sizeof(RigidTransform) == 7 * sizeof(double));

// How far the rows of a rotation block may be from orthonormal.
constexpr double ORTHONORMAL_TOLERANCE = 1e-9;

Py_hash_t hash_bits(const RigidTransform& x) {
    return static_cast<Py_hash_t>(hash_double_bits<7>(&x.rotation.w));
}

std::string text_form(const RigidTransform& x) {
    char buf[RIGID_TEXT_SIZE];
    return {buf, write_text(x, buf)};
}

std::string row_text(const std::array<double, 4>& row) {
    std::string text = "(";
    for (std::size_t c = 0; c < 4; ++c) text += (c ? ", " : "") + galdrin::format_double(row[c]);
    return text + ")";
}

// The transform of a homogeneous matrix, refused with the reason when its last
// row is not exactly (0, 0, 0, 1) or its 3x3 block is not a rotation.
RigidTransform checked_from_matrix(Matrix4 m) {
    if (!(m[3][0] == 0.0 && m[3][1] == 0.0 && m[3][2] == 0.0 && m[3][3] == 1.0))
        throw InvalidValue("not a rigid transform: the last row is " + row_text(m[3]) + ", not (0, 0, 0, 1)");
    const Mat3 r = galdrin::linear_part(m);
    const double error = galdrin::orthonormality_error(r);
    if (!(error <= ORTHONORMAL_TOLERANCE))
        throw InvalidValue("not a rigid transform: the rows of the 3x3 block are " + galdrin::format_double(error) +
                           " from orthonormal, more than 1e-9");
    const double d = det(r);
    if (d < 0.0)
        throw InvalidValue("not a rigid transform: the 3x3 block is a reflection (determinant " +
                           galdrin::format_double(d) + ")");
    return galdrin::from_matrix(m);
}

// apply to one vector, or to every element of a list in one pass.
PyObject* apply_to(const RigidTransform& transform, OneOrList<Vec3d> points) {
    if (points.one) return to_py(apply(transform, *points.one));
    return to_py(map_elements(*points.list, [x = transform](const Vec3d& p) { return apply(x, p); }, COSTLY_GRAIN));
}

}  // namespace

PyTypeObject* PyClass<RigidTransform>::create() {
    using D = Def<RigidTransform>;
    using R = const RigidTransform&;
    ClassSpec spec{.name = "RigidTransform"};
    D::constructor<"RigidTransform(rotation, translation)",
                   [](const Quat& q, const Vec3d& t) { return RigidTransform{q, t}; }>(spec);
    spec.methods = {
        D::method<"identity()", [] { return RigidTransform::identity(); }>(),
        D::method<"from_rotation(rotation)", [](const Quat& q) { return RigidTransform{q, Vec3d::zero()}; }>(),
        D::method<"from_translation(translation)",
                  [](const Vec3d& t) { return RigidTransform{Quat::identity(), t}; }>(),
        D::method<"from_matrix(matrix)", checked_from_matrix>(),
        D::method<"to_matrix($self)", [](R x) { return galdrin::to_matrix(x); }>(),
        D::method<"then($self, other)", [](R a, R b) { return then(a, b); }>(),
        D::method<"inverse($self)", [](R x) { return inverse(x); }>(),
        D::method<"apply($self, points)", apply_to>(),
        reduce_method<RigidTransform>(),
    };
    spec.properties = {
        D::getter<[](R x) { return x.rotation; }>("rotation"),
        D::getter<[](R x) { return x.translation; }>("translation"),
    };
    spec.slots = {
        slot(Py_tp_repr, &D::unary<text_form>),
        slot(Py_tp_hash, &D::hash<hash_bits>),
        slot(Py_tp_richcompare, &equality_richcompare<RigidTransform>),
    };
    return create_type<RigidTransform>(std::move(spec));
}

}  // namespace quorral
