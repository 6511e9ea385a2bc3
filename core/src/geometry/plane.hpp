// Plane n.x + d = 0 with a unit normal after construction. Fields may be
// reassigned freely afterwards, so nothing here assumes a unit normal.
#pragma once

#include <cmath>

#include "vec3d.hpp"

namespace galdrin {

struct Plane {
    Vec3d normal;
    double distance;

    // `offset` is the signed distance along the normal; the stored constant is its negation.
    static Plane make(const Vec3d& normal, double offset) { return {galdrin::normalize(normal), -offset}; }

    static Plane from_point(const Vec3d& normal, const Vec3d& point) {
        const Vec3d n = galdrin::normalize(normal);
        return {n, -dot(n, point)};
    }

    // The normal faces the side from which the points run counter-clockwise.
    static Plane from_points(const Vec3d& point1, const Vec3d& point2, const Vec3d& point3) {
        return from_point(cross(point2 - point1, point3 - point1), point1);
    }

    static constexpr Plane xy() { return {Vec3d::k(), -0.0}; }
    static constexpr Plane xz() { return {Vec3d::j(), -0.0}; }
    static constexpr Plane yz() { return {Vec3d::i(), -0.0}; }
};

inline double distance_to_point(const Plane& plane, const Vec3d& point) {
    return std::fabs(dot(plane.normal, point) + plane.distance);
}

inline bool contains_point(const Plane& plane, const Vec3d& point) {
    return distance_to_point(plane, point) < EPSILON;
}

// n.point + d: negative behind the plane, on the side the normal points away from.
constexpr double signed_distance(const Plane& plane, const Vec3d& point) {
    return dot(plane.normal, point) + plane.distance;
}

// A point behind the plane (signed distance s < 0) is mirrored through it,
// point - normal * (2 * s), and its velocity with it, velocity - normal * (2 *
// (n.velocity)). Points on or in front of the plane, or at a NaN distance,
// keep their point and velocity. Both forms are computed and one is chosen,
// so that a loop over many points has no branch to mispredict.
constexpr void reflect_off(const Plane& plane, Vec3d& point, Vec3d& velocity) {
    const Vec3d p = point, v = velocity;
    const double s = signed_distance(plane, p);
    const bool behind = s < 0.0;
    const Vec3d mirrored = p - plane.normal * (2.0 * s);
    const Vec3d turned = v - plane.normal * (2.0 * dot(plane.normal, v));
    point = {behind ? mirrored.x : p.x, behind ? mirrored.y : p.y, behind ? mirrored.z : p.z};
    velocity = {behind ? turned.x : v.x, behind ? turned.y : v.y, behind ? turned.z : v.z};
}

}  // namespace galdrin
