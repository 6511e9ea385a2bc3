// Quaternion (w, i, j, k) for 3-D rotations. Nothing is normalised implicitly:
// rotate, to_axis_angle and to_rotation_matrix use the stored values as they are.
#pragma once

#include <array>
#include <cmath>
#include <limits>

#include "angle.hpp"
#include "vec3d.hpp"

namespace galdrin {

struct Quat {
    double w;
    double i;
    double j;
    double k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }
};

struct AxisAngle {
    Vec3d axis;
    AngleRadians angle;
};

constexpr Quat to_quat(const Vec3d& v) { return {0.0, v.x, v.y, v.z}; }

// Hamilton product.
constexpr Quat operator*(const Quat& a, const Quat& b) {
    return {
        a.w * b.w - a.i * b.i - a.j * b.j - a.k * b.k,
        a.w * b.i + a.i * b.w + a.j * b.k - a.k * b.j,
        a.w * b.j + a.j * b.w + a.k * b.i - a.i * b.k,
        a.w * b.k + a.k * b.w + a.i * b.j - a.j * b.i,
    };
}

// The rotation that applies a first and then b: rotate(then(a, b), v) is
// rotate(b, rotate(a, v)), because rotate computes conjugate(q) * v * q.
constexpr Quat then(const Quat& a, const Quat& b) { return a * b; }

constexpr Quat conjugate(const Quat& q) { return {q.w, -q.i, -q.j, -q.k}; }

constexpr double dot(const Quat& a, const Quat& b) { return ((a.w * b.w + a.i * b.i) + a.j * b.j) + a.k * b.k; }

// conjugate(q) with each component divided by dot(q, q); the zero quaternion
// gives NaN components.
constexpr Quat inverse(const Quat& q) {
    const double n = dot(q, q);
    const Quat c = conjugate(q);
    return {c.w / n, c.i / n, c.j / n, c.k / n};
}

inline double magnitude(const Quat& q) { return std::sqrt(((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k); }

inline Quat normalize(const Quat& q) {
    const double m = magnitude(q);
    return {q.w / m, q.i / m, q.j / m, q.k / m};
}

inline bool is_unit(const Quat& q) { return std::fabs(magnitude(q) - 1.0) < EPSILON; }

inline bool operator==(const Quat& a, const Quat& b) {
    return std::fabs(a.w - b.w) < EPSILON && std::fabs(a.i - b.i) < EPSILON && std::fabs(a.j - b.j) < EPSILON &&
           std::fabs(a.k - b.k) < EPSILON;
}

// Encodes the vector part as -sin(angle/2) * axis; the axis is used as given.
inline Quat from_axis_angle(const Vec3d& axis, AngleRadians angle) {
    const double h = angle.angle * -0.5;
    const double s = std::sin(h);
    const double c = std::cos(h);
    return {c, axis.x * s, axis.y * s, axis.z * s};
}

// Decodes the vector part as +sin(angle/2) * axis, so it returns the reversed
// axis of what from_axis_angle encoded.
inline AxisAngle to_axis_angle(const Quat& q) {
    if (std::fabs(q.w - 1.0) < EPSILON) return {Vec3d::i(), AngleRadians::zero()};
    const double a = std::acos(q.w);
    const double s = std::sin(0.5 * (a + a));
    return {{q.i / s, q.j / s, q.k / s}, {a + a}};
}

// conjugate(q) * p * q with p the pure quaternion of v; every product term is
// evaluated so that infinities and NaN propagate through the zero scalar.
inline Vec3d rotate(const Quat& q, const Vec3d& v) {
    const Quat r = (conjugate(q) * to_quat(v)) * q;
    return {r.i, r.j, r.k};
}

constexpr std::array<double, 3> to_vec3d(const Quat& q) { return {q.i, q.j, q.k}; }

// The matrix of v -> q * v * conjugate(q): the inverse of what rotate applies.
constexpr std::array<std::array<double, 3>, 3> to_rotation_matrix(const Quat& q) {
    const auto twice = [](double x) { return x + x; };
    const double w = q.w, i = q.i, j = q.j, k = q.k;
    return {{
        {1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)},
        {twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)},
        {twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)},
    }};
}

constexpr Quat operator-(const Quat& q) { return {-q.w, -q.i, -q.j, -q.k}; }

// Spherical interpolation along the shorter arc; the inputs are taken as unit
// quaternions and used as they are.
//   c = -b when dot(a, b) < 0, else b;
//   phi = h + h with h = atan2(magnitude(a - c), magnitude(a + c)), the angle
//     between a and c (accurate also for nearly equal inputs, unlike acos of
//     the dot product);
//   phi < 2^-26: a * (1 - t) + c * t, component by component. Below that angle
//     sin(x) / x is 1 to double precision, so these weights are the spherical
//     ones, and for 0 <= t <= 1 the result is unit to within 2^-55 already:
//     normalising it would only move a and c at the ends;
//   otherwise a * (sin((1 - t) * phi) / s) + c * (sin(t * phi) / s) with
//     s = sin(phi), component by component.
// Both ways t = 0 gives a and t = 1 gives c exactly (a zero may change sign).
inline Quat slerp(const Quat& a, const Quat& b, double t) {
    const Quat c = dot(a, b) < 0.0 ? -b : b;
    const auto combine = [&](double u, double v) {
        return Quat{a.w * u + c.w * v, a.i * u + c.i * v, a.j * u + c.j * v, a.k * u + c.k * v};
    };
    const Quat diff{a.w - c.w, a.i - c.i, a.j - c.j, a.k - c.k};
    const Quat sum{a.w + c.w, a.i + c.i, a.j + c.j, a.k + c.k};
    const double h = std::atan2(magnitude(diff), magnitude(sum));
    const double phi = h + h;
    if (phi < 0x1p-26) return combine(1.0 - t, t);
    const double s = std::sin(phi);
    return combine(std::sin((1.0 - t) * phi) / s, std::sin(t * phi) / s);
}

// The inverse of to_rotation_matrix for a rotation matrix m, from the largest
// of the trace and the diagonal entries (first of trace, m00, m11, m22 on
// ties), which fixes the quaternion component of largest magnitude:
//   trace: r = sqrt(1 + ((m00 + m11) + m22)), w = r * 0.5 and
//          i, j, k = (m21 - m12, m02 - m20, m10 - m01) / (r + r);
//   m00:   r = sqrt(((1 + m00) - m11) - m22), i = r * 0.5 and
//          w, j, k = (m21 - m12, m01 + m10, m02 + m20) / (r + r);
//   m11:   r = sqrt(((1 + m11) - m00) - m22), j = r * 0.5 and
//          w, i, k = (m02 - m20, m01 + m10, m12 + m21) / (r + r);
//   m22:   r = sqrt(((1 + m22) - m00) - m11), k = r * 0.5 and
//          w, i, j = (m10 - m01, m02 + m20, m12 + m21) / (r + r).
// The chosen component comes out positive, so a unit q gives back q or -q.
inline Quat from_rotation_matrix(const std::array<std::array<double, 3>, 3>& m) {
    const double trace = (m[0][0] + m[1][1]) + m[2][2];
    int branch = 0;
    double largest = trace;
    for (int d = 0; d < 3; ++d)
        if (m[d][d] > largest) {
            largest = m[d][d];
            branch = d + 1;
        }
    switch (branch) {
        case 0: {
            const double r = std::sqrt(1.0 + trace), s = r + r;
            return {r * 0.5, (m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s};
        }
        case 1: {
            const double r = std::sqrt(((1.0 + m[0][0]) - m[1][1]) - m[2][2]), s = r + r;
            return {(m[2][1] - m[1][2]) / s, r * 0.5, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s};
        }
        case 2: {
            const double r = std::sqrt(((1.0 + m[1][1]) - m[0][0]) - m[2][2]), s = r + r;
            return {(m[0][2] - m[2][0]) / s, (m[0][1] + m[1][0]) / s, r * 0.5, (m[1][2] + m[2][1]) / s};
        }
        default: {
            const double r = std::sqrt(((1.0 + m[2][2]) - m[0][0]) - m[1][1]), s = r + r;
            return {(m[1][0] - m[0][1]) / s, (m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, r * 0.5};
        }
    }
}

// The shortest-arc unit rotation taking the direction of a to that of b:
//   ua = normalize(a), ub = normalize(b), s = ua + ub;
//   magnitude(s) < 2^-26 (antiparallel to within rounding): the half turn
//     (0, p) about p = normalize(cross(ua, e)), e the unit vector along the
//     component of ua of least magnitude (first of x, y, z on ties);
//   otherwise, with the halfway direction h = s / magnitude(s):
//     (dot(ua, h), cross(h, ua)).
// Near the antiparallel case the result is only as good as the rounding of ua
// and ub allows (about 2^-52 / magnitude(s)); the cut-off balances that
// against the half turn's error, which is magnitude(s). A zero vector gives
// NaN components.
inline Quat rotation_between(const Vec3d& a, const Vec3d& b) {
    const Vec3d ua = normalize(a);
    const Vec3d ub = normalize(b);
    const Vec3d s = ua + ub;
    const double m = magnitude(s);
    if (m < 0x1p-26) {
        const double x = std::fabs(ua.x), y = std::fabs(ua.y), z = std::fabs(ua.z);
        const Vec3d e = x <= y && x <= z ? Vec3d::i() : y <= z ? Vec3d::j() : Vec3d::k();
        const Vec3d p = normalize(cross(ua, e));
        return {0.0, p.x, p.y, p.z};
    }
    const Vec3d h = s / m;
    const Vec3d v = cross(h, ua);
    return {dot(ua, h), v.x, v.y, v.z};
}

// a, b, c, d times the power of two that brings the largest magnitude among
// them into [1, 2), NaNs passed over; unchanged when that is 0 or infinite.
// Exact (but for values so much smaller that they underflow), so that their
// squares neither overflow nor underflow.
inline std::array<double, 4> scaled_to_unit_binade(double a, double b, double c, double d) {
    const double m = std::fmax(std::fmax(std::fabs(a), std::fabs(b)), std::fmax(std::fabs(c), std::fabs(d)));
    const int e = m > 0.0 && m < std::numeric_limits<double>::infinity() ? std::ilogb(m) : 0;
    return {std::scalbn(a, -e), std::scalbn(b, -e), std::scalbn(c, -e), std::scalbn(d, -e)};
}

// The angle of the rotation q applies, in [0, pi]: 2 atan2(|(i, j, k)|, |w|)
// of q scaled by the power of two that brings its largest component into
// [1, 2), an exact scaling that keeps the squares from overflowing or
// underflowing; the same for q and -q. atan2 keeps it accurate near 0 and
// near pi, where acos(w) would not be.
inline double rotation_angle(const Quat& q) {
    const auto [w, i, j, k] = scaled_to_unit_binade(q.w, q.i, q.j, q.k);
    const double h = std::atan2(std::sqrt((i * i + j * j) + k * k), std::fabs(w));
    return h + h;
}

// The angle of the rotation taking a to b, inverse(a) then b: the
// rotation_angle of conjugate(a) * b, which differs from inverse(a) * b only
// by the positive factor dot(a, a).
inline double angle_between(const Quat& a, const Quat& b) { return rotation_angle(conjugate(a) * b); }

}  // namespace galdrin
