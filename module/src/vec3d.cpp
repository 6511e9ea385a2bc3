// The Python class Vec3d.
#include <bit>
#include <cmath>
#include <cstring>

#include "binding/compare.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "format.hpp"
#include "quat.hpp"
#include "siphash.hpp"
#include "vec3d.hpp"

namespace quorral {

using galdrin::Vec3d;

namespace {

// Hash of the exact bits, with every NaN alike and -0 folded into +0.
Py_hash_t hash_bits(const Vec3d& v) {
    unsigned char message[24];
    const double parts[] = {v.x, v.y, v.z};
    for (int c = 0; c < 3; ++c) {
        const std::uint64_t bits =
            std::isnan(parts[c]) ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(parts[c] + 0.0);
        std::memcpy(message + 8 * c, &bits, 8);  // little-endian, as the byte order of the hash
    }
    return static_cast<Py_hash_t>(siphash13(message, sizeof message));
}

}  // namespace

double distance_squared_key(const Vec3d& a, const Vec3d& b) { return distance_squared(a, b); }

std::size_t write_text(const Vec3d& v, char* const out) { return write_call_text("Vec3d", {v.x, v.y, v.z}, out); }

namespace {

std::string text_form(const Vec3d& v) {
    char buf[VEC3D_TEXT_SIZE];
    return {buf, write_text(v, buf)};
}

double component(const Vec3d& v, Index position) {
    if (position > 2) throw OutOfBounds{};
    return galdrin::index(v, position);
}

}  // namespace

PyTypeObject* PyClass<Vec3d>::create() {
    using D = Def<Vec3d>;
    ClassSpec spec{.name = "Vec3d"};
    D::constructor<"Vec3d(x, y, z)", [](double x, double y, double z) { return Vec3d{x, y, z}; }>(spec);
    spec.methods = {
        D::method<"zero()", [] { return Vec3d::zero(); }>(),
        D::method<"i()", [] { return Vec3d::i(); }>(),
        D::method<"j()", [] { return Vec3d::j(); }>(),
        D::method<"k()", [] { return Vec3d::k(); }>(),
        D::method<"new_from_to(from, to)", [](const Vec3d& from, const Vec3d& to) { return new_from_to(from, to); }>(),
        D::method<"dot($self, other)", [](const Vec3d& a, const Vec3d& b) { return dot(a, b); }>(),
        D::method<"cross($self, other)", [](const Vec3d& a, const Vec3d& b) { return cross(a, b); }>(),
        D::method<"magnitude($self)", [](const Vec3d& a) { return magnitude(a); }>(),
        D::method<"normalize($self)", [](const Vec3d& a) { return normalize(a); }>(),
        D::method<"is_unit($self)", [](const Vec3d& a) { return is_unit(a); }>(),
        D::method<"distance_to($self, other)", [](const Vec3d& a, const Vec3d& b) { return distance_to(a, b); }>(),
        D::method<"distance_squared($self, other)", distance_squared_key>(),
        D::method<"distance_to_line($self, a, b)",
                  [](const Vec3d& p, const Vec3d& a, const Vec3d& b) { return distance_to_line(p, a, b); }>(),
        D::method<"project_onto_line($self, line_r, line_q)",
                  [](const Vec3d& p, const Vec3d& r, const Vec3d& q) { return project_onto_line(p, r, q); }>(),
        D::method<"project_onto_plane($self, normal)",
                  [](const Vec3d& p, const Vec3d& n) { return project_onto_plane(p, n); }>(),
        D::method<"scalar_triple_product($self, b, c)",
                  [](const Vec3d& a, const Vec3d& b, const Vec3d& c) { return scalar_triple_product(a, b, c); }>(),
        D::method<"to_array($self)", [](const Vec3d& a) { return to_array(a); }>(),
        D::method<"angle_to($self, other)",
                  [](const Vec3d& a, const Vec3d& b) { return galdrin::AngleRadians{angle_to(a, b)}; }>(),
        D::method<"to_quat($self)", [](const Vec3d& a) { return to_quat(a); }>(),
        reduce_method<Vec3d>(),
    };
    spec.properties = {D::field<&Vec3d::x>("x"), D::field<&Vec3d::y>("y"), D::field<&Vec3d::z>("z")};
    spec.slots = {
        slot(Py_nb_add, &D::binary<[](const Vec3d& a, const Vec3d& b) { return a + b; }>),
        slot(Py_nb_subtract, &D::binary<[](const Vec3d& a, const Vec3d& b) { return a - b; }>),
        slot(Py_nb_multiply, &D::multiply<[](const Vec3d& a, double rhs) { return a * rhs; },
                                          [](double lhs, const Vec3d& a) { return lhs * a; }>),
        slot(Py_nb_true_divide, &D::binary<[](const Vec3d& a, double rhs) { return a / rhs; }>),
        slot(Py_nb_negative, &D::unary<[](const Vec3d& a) { return -a; }>),
        slot(Py_tp_repr, &D::unary<[](const Vec3d& a) { return text_form(a); }>),
        slot(Py_tp_hash, &D::hash<hash_bits>),
        slot(Py_tp_richcompare, &tolerant_richcompare<Vec3d>),
    };
    D::subscript_slots<component>(spec);
    return create_type<Vec3d>(std::move(spec));
}

}  // namespace quorral
