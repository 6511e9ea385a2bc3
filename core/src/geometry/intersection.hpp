// Line/plane, point/circle and circle/circle intersections. Failures are
// returned as IntersectionError values, never raised.
#pragma once

#include <cmath>
#include <optional>
#include <variant>

#include "geometry/circle.hpp"
#include "geometry/plane.hpp"
#include "vec3d.hpp"

namespace galdrin {

enum class IntersectionError { TooFarApart = 0, Contained = 1, Identical = 2, OutOfPlane = 3 };

constexpr const char* message(IntersectionError e) {
    switch (e) {
        case IntersectionError::TooFarApart:
            return "The given geometries are too far apart and do not intersect at all.";
        case IntersectionError::Contained:
            return "One of the given geometries is contained entirely within the other. "
                   "The surfaces do not intersect.";
        case IntersectionError::Identical: return "The given geometries are identical.";
        case IntersectionError::OutOfPlane: return "The given geometries are out of plane from each other";
    }
    return "";
}

// Where the line through a and b meets n.x + d = 0; t is not limited to the
// segment, and a parallel line gives infinities or NaN.
inline Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b) {
    const Vec3d e = b - a;
    const double numerator = -(plane.distance + dot(plane.normal, a));
    const double denominator = dot(plane.normal, e);
    const double t = numerator / denominator;
    return {t * e.x + a.x, t * e.y + a.y, t * e.z + a.z};
}

// No value on success. Ignores the circle's normal: any point in space at the
// right distance from the center counts.
inline std::optional<IntersectionError> circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner) {
    const double q = circle.radius - magnitude(point - circle.center);
    if (std::fabs(q) < EPSILON) return std::nullopt;
    if (q > EPSILON) return inner ? std::nullopt : std::optional{IntersectionError::Contained};
    return IntersectionError::TooFarApart;
}

inline std::optional<IntersectionError> circle_point(const Circle& circle, const Vec3d& point, bool inner) {
    const Vec3d n = normalize(circle.normal);
    if (!(std::fabs(dot(n, point) - dot(n, circle.center)) < EPSILON)) return IntersectionError::OutOfPlane;
    return circle_point_unchecked(circle, point, inner);
}

struct CrossingPoints {
    Vec3d first;
    Vec3d second;
};

// Reversing circle2's normal swaps first and second; circle1's normal only
// takes part in the plane test.
inline std::variant<CrossingPoints, IntersectionError> circle_circle(const Circle& circle1, const Circle& circle2) {
    if (circle1 == circle2) return IntersectionError::Identical;
    if (!in_same_plane(circle1, circle2)) return IntersectionError::OutOfPlane;

    const Vec3d& c1 = circle1.center;
    const double r1 = circle1.radius;
    const double r2 = circle2.radius;
    const double D = distance_to(c1, circle2.center);
    if (D > r1 + r2) return IntersectionError::TooFarApart;
    if (std::fabs(r1 - r2) > D) return IntersectionError::Contained;

    const double S = D * D;
    const double k = (r1 * r1 - r2 * r2) / (S + S) + 0.5;
    // Tangent circles can round the squared half chord just below zero.
    const double h2 = r1 * r1 - (k * k) * S;
    const double h = std::sqrt(h2 < 0.0 ? 0.0 : h2);
    const Vec3d e = circle2.center - c1;
    const Vec3d P{k * e.x + c1.x, k * e.y + c1.y, c1.z + e.z * k};
    const Vec3d u = normalize(cross(e, circle2.normal));
    return CrossingPoints{P + h * u, P - h * u};
}

}  // namespace galdrin
