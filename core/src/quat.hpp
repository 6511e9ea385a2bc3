// Quaternion (w, i, j, k) for 3-D rotations. Nothing is normalised implicitly:
// rotate, to_axis_angle and to_rotation_matrix use the stored values as they are.
#pragma once

#include <array>
#include <cmath>

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

constexpr Quat conjugate(const Quat& q) { return {q.w, -q.i, -q.j, -q.k}; }

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

}  // namespace galdrin
