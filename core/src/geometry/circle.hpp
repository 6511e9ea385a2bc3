// Circle in 3-D: center, radius and the normal of its plane.
#pragma once

#include <cmath>
#include <limits>

#include "geometry/plane.hpp"
#include "vec3d.hpp"

namespace galdrin {

struct Circle {
    Vec3d center;
    double radius;
    Vec3d normal;

    static Circle make(const Vec3d& center, double radius, const Vec3d& normal) {
        return {center, std::fabs(radius), galdrin::normalize(normal)};
    }

    static constexpr Circle none() {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {Vec3d::zero(), 0.0, {nan, nan, nan}};
    }
};

enum class Parallel { No, Same, Opposite };

// Stored normals, compared with the tolerance of Vec3d equality; equal is tried first.
inline Parallel parallel(const Vec3d& a, const Vec3d& b) {
    if (a == b) return Parallel::Same;
    if (a == -b) return Parallel::Opposite;
    return Parallel::No;
}

inline bool operator==(const Circle& a, const Circle& b) {
    return a.center == b.center && a.radius == b.radius && parallel(a.normal, b.normal) != Parallel::No;
}

constexpr double area(const Circle& c) { return (c.radius * c.radius) * 3.141592653589793; }

inline Plane get_plane(const Circle& c) { return Plane::from_point(c.normal, c.center); }

constexpr bool is_degenerate(const Circle& c) { return c.radius == 0.0; }

// Each offset uses its own circle's stored normal; with opposite normals the
// other offset changes sign so that one shared plane compares equal.
inline bool in_same_plane(const Circle& self, const Circle& other) {
    const Parallel p = parallel(self.normal, other.normal);
    if (p == Parallel::No) return false;
    const double o_self = dot(self.normal, self.center);
    const double o_other = p == Parallel::Same ? dot(other.normal, other.center) : -dot(other.normal, other.center);
    return std::fabs(o_other - o_self) < EPSILON;
}

}  // namespace galdrin
