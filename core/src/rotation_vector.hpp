// Rotation vectors: the rotation by magnitude(v) radians about the direction
// of v, right-handed, as rotate applies it. Stored quaternions carry the
// vector part -sin(angle/2) * axis (see from_axis_angle).
#pragma once

#include <cmath>

#include "quat.hpp"
#include "vec3d.hpp"

namespace galdrin {

// With t2 = dot(v, v) and theta = sqrt(t2):
//   t2 < 1e-2 (angles below 0.1, the increments of most integrations):
//     w = 1 + t2 * (-1/8 + t2 * (1/384 + t2 * (-1/46080 + t2 * (1/10321920)))) and
//     s = 1/2 + t2 * (-1/48 + t2 * (1/3840 + t2 * (-1/645120 + t2 * (1/185794560)))),
//     the series of cos(theta/2) and sin(theta/2) / theta (next terms below
//     2^-64 relative), each coefficient 1/d the double nearest it; no sine,
//     cosine or square root;
//   otherwise w = cos(theta / 2) and s = sin(theta / 2) / theta;
//   the result is (w, 0 - s * v.x, 0 - s * v.y, 0 - s * v.z).
// The zero vector gives the identity exactly (positive zeros); an infinite
// component gives NaN components, and a NaN one NaN throughout.
inline Quat from_rotation_vector(const Vec3d& v) {
    const double t2 = dot(v, v);
    double w, s;
    if (t2 < 1e-2) {
        w = 1.0 + t2 * (-0.125 + t2 * (1.0 / 384.0 + t2 * (-1.0 / 46080.0 + t2 * (1.0 / 10321920.0))));
        s = 0.5 + t2 * (-1.0 / 48.0 + t2 * (1.0 / 3840.0 + t2 * (-1.0 / 645120.0 + t2 * (1.0 / 185794560.0))));
    } else {
        const double theta = std::sqrt(t2);
        const double h = theta * 0.5;
        w = std::cos(h);
        s = std::sin(h) / theta;
    }
    return {w, 0.0 - s * v.x, 0.0 - s * v.y, 0.0 - s * v.z};
}

// The rotation vector of q (taken as it is, not normalised: only its
// direction counts), with the angle in [0, pi]:
//   q with w < 0 is taken as -q; then c = |w| and u = (0 - i, 0 - j, 0 - k)
//   for the stored q (u = (0 + i, 0 + j, 0 + k) when it was negated),
//   m = magnitude(u), t = m / c;
//   t < 1e-3: f = (2 / c) * (1 + t2 * (t2 / 5 - 1/3)) with t2 = t * t, the
//     series of 2 * atan(t) / m (next term below 2^-62 relative);
//   otherwise f = (2 * atan2(m, c)) / m;
//   the result is u * f.
// The identity gives the zero vector (positive zeros); the zero quaternion and NaN components
// give NaN components.
inline Vec3d to_rotation_vector(const Quat& q) {
    const bool flip = q.w < 0.0;
    const double c = flip ? -q.w : q.w;
    const Vec3d u = flip ? Vec3d{0.0 + q.i, 0.0 + q.j, 0.0 + q.k} : Vec3d{0.0 - q.i, 0.0 - q.j, 0.0 - q.k};
    const double m = magnitude(u);
    const double t = m / c;
    double f;
    if (t < 1e-3) {
        const double t2 = t * t;
        f = (2.0 / c) * (1.0 + t2 * (t2 / 5.0 - 1.0 / 3.0));
    } else {
        const double h = std::atan2(m, c);
        f = (h + h) / m;
    }
    return u * f;
}

}  // namespace galdrin
