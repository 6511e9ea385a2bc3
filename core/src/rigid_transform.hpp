// A rigid transform: the rotation a quaternion applies (rotate), then a
// translation, p -> rotate(rotation, p) + translation. Every formula is
// evaluated in the order written.
#pragma once

#include <array>
#include <cmath>

#include "mat3.hpp"
#include "quat.hpp"
#include "vec3d.hpp"

namespace galdrin {

struct RigidTransform {
    Quat rotation;
    Vec3d translation;

    static constexpr RigidTransform identity() { return {Quat::identity(), Vec3d::zero()}; }
};

using Matrix4 = std::array<std::array<double, 4>, 4>;

// rotate(rotation, p) + translation, component by component.
inline Vec3d apply(const RigidTransform& x, const Vec3d& p) { return rotate(x.rotation, p) + x.translation; }

// The transform that applies a first and then b, as Quat's then:
// rotation then(a.rotation, b.rotation), translation
// rotate(b.rotation, a.translation) + b.translation. apply(then(a, b), p)
// equals apply(b, apply(a, p)) up to rounding.
inline RigidTransform then(const RigidTransform& a, const RigidTransform& b) {
    return {then(a.rotation, b.rotation), apply(b, a.translation)};
}

// The transform that undoes x: rotation inverse(x.rotation), translation
// -rotate(inverse(x.rotation), x.translation).
inline RigidTransform inverse(const RigidTransform& x) {
    const Quat r = inverse(x.rotation);
    return {r, -rotate(r, x.translation)};
}

// Exact equality of the seven stored components (-0 equals +0, a NaN equals
// nothing): q and -q, the same rotation, are different transforms here.
constexpr bool operator==(const RigidTransform& a, const RigidTransform& b) {
    const Quat& p = a.rotation;
    const Quat& q = b.rotation;
    return p.w == q.w && p.i == q.i && p.j == q.j && p.k == q.k && a.translation.x == b.translation.x &&
           a.translation.y == b.translation.y && a.translation.z == b.translation.z;
}

// The homogeneous matrix [[R, t], [0, 0, 0, 1]] with R = from_rotation(rotation).
constexpr Matrix4 to_matrix(const RigidTransform& x) {
    const Mat3 r = from_rotation(x.rotation);
    const Vec3d& t = x.translation;
    return {{
        {r.rows[0].x, r.rows[0].y, r.rows[0].z, t.x},
        {r.rows[1].x, r.rows[1].y, r.rows[1].z, t.y},
        {r.rows[2].x, r.rows[2].y, r.rows[2].z, t.z},
        {0.0, 0.0, 0.0, 1.0},
    }};
}

// The upper-left 3x3 block of a homogeneous matrix.
constexpr Mat3 linear_part(const Matrix4& m) {
    return {{Vec3d{m[0][0], m[0][1], m[0][2]}, Vec3d{m[1][0], m[1][1], m[1][2]}, Vec3d{m[2][0], m[2][1], m[2][2]}}};
}

// The largest magnitude of an entry of m * transpose(m) - identity, NaN when
// any entry is NaN: how far the rows of m are from orthonormal.
inline double orthonormality_error(const Mat3& m) {
    const Mat3 d = m * transpose(m) - Mat3::identity();
    double worst = 0.0;
    for (const Vec3d& r : d.rows)
        for (const double e : {r.x, r.y, r.z}) {
            if (std::isnan(e)) return e;
            worst = std::fmax(worst, std::fabs(e));
        }
    return worst;
}

// The transform of a homogeneous matrix whose 3x3 block is a rotation
// (callers check it): rotation normalize(to_rotation(block)), translation
// the last column.
inline RigidTransform from_matrix(const Matrix4& m) {
    return {normalize(to_rotation(linear_part(m))), Vec3d{m[0][3], m[1][3], m[2][3]}};
}

}  // namespace galdrin
