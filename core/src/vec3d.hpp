// Three-component double-precision vector. Every formula is evaluated in the
// order written; the build forbids contraction into fused multiply-adds.
#pragma once

#include <array>
#include <cmath>

#include "panic.hpp"

namespace galdrin {

inline constexpr double EPSILON = 0x1p-52;

struct Vec3d {
    double x;
    double y;
    double z;

    static constexpr Vec3d zero() { return {0.0, 0.0, 0.0}; }
    static constexpr Vec3d i() { return {1.0, 0.0, 0.0}; }
    static constexpr Vec3d j() { return {0.0, 1.0, 0.0}; }
    static constexpr Vec3d k() { return {0.0, 0.0, 1.0}; }
};

constexpr Vec3d operator+(const Vec3d& a, const Vec3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vec3d operator-(const Vec3d& a, const Vec3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vec3d operator*(const Vec3d& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
constexpr Vec3d operator*(double s, const Vec3d& a) { return a * s; }
constexpr Vec3d operator/(const Vec3d& a, double s) { return {a.x / s, a.y / s, a.z / s}; }
constexpr Vec3d operator-(const Vec3d& a) { return {-a.x, -a.y, -a.z}; }

inline bool operator==(const Vec3d& a, const Vec3d& b) {
    return std::fabs(a.x - b.x) < EPSILON && std::fabs(a.y - b.y) < EPSILON && std::fabs(a.z - b.z) < EPSILON;
}

// a + o * f, component by component: the product rounded, then the sum.
constexpr Vec3d add_scaled(const Vec3d& a, const Vec3d& o, double f) { return a + o * f; }

constexpr Vec3d new_from_to(const Vec3d& from, const Vec3d& to) { return to - from; }

inline double index(const Vec3d& a, unsigned long long p) {
    switch (p) {
        case 0: return a.x;
        case 1: return a.y;
        case 2: return a.z;
        default: panic("Index out of bounds");
    }
}

constexpr double dot(const Vec3d& a, const Vec3d& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }

constexpr Vec3d cross(const Vec3d& a, const Vec3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline double magnitude(const Vec3d& a) { return std::sqrt(dot(a, a)); }

inline Vec3d normalize(const Vec3d& a) {
    const double m = magnitude(a);
    return {a.x / m, a.y / m, a.z / m};
}

inline bool is_unit(const Vec3d& a) { return std::fabs(magnitude(a) - 1.0) < EPSILON; }

constexpr double distance_squared(const Vec3d& a, const Vec3d& b) {
    const Vec3d d = a - b;
    return dot(d, d);
}

inline double distance_to(const Vec3d& a, const Vec3d& b) { return std::sqrt(distance_squared(a, b)); }

constexpr double scalar_triple_product(const Vec3d& a, const Vec3d& b, const Vec3d& c) {
    const Vec3d n = cross(b, c);
    return (n.x * a.x + n.y * a.y) + n.z * a.z;
}

inline double distance_to_line(const Vec3d& p, const Vec3d& a, const Vec3d& b) {
    const Vec3d d = b - a;
    const double t = dot(p - a, d) / dot(d, d);
    const Vec3d c{t * d.x + a.x, t * d.y + a.y, t * d.z + a.z};
    return magnitude(p - c);
}

inline Vec3d project_onto_line(const Vec3d& p, const Vec3d& line_r, const Vec3d& line_q) {
    const Vec3d d = line_r - line_q;
    const double t = dot(line_q - p, d) / dot(d, d);
    return {line_q.x - t * d.x, line_q.y - t * d.y, line_q.z - t * d.z};
}

constexpr Vec3d project_onto_plane(const Vec3d& p, const Vec3d& n) {
    const double s = dot(p, n);
    return {p.x - s * n.x, p.y - s * n.y, p.z - s * n.z};
}

// The ratio is clamped so that rounding cannot push a parallel pair out of
// acos' domain; a NaN ratio (a zero vector) stays NaN.
inline double angle_to(const Vec3d& a, const Vec3d& b) {
    const double ratio = dot(a, b) / (magnitude(b) * magnitude(a));
    if (ratio > 1.0) return std::acos(1.0);
    if (ratio < -1.0) return std::acos(-1.0);
    return std::acos(ratio);
}

constexpr std::array<double, 3> to_array(const Vec3d& a) { return {a.x, a.y, a.z}; }

}  // namespace galdrin
