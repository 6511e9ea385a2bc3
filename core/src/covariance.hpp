// Covariances of point sets as 3x3 matrices: sums of outer products of the
// points' offsets from their means, on the summation tree of summation.hpp.
#pragma once

#include "mat3.hpp"
#include "vec3d.hpp"

namespace galdrin {

// The matrix u v^T: entry (r, c) is u_r * v_c.
constexpr Mat3 outer(const Vec3d& u, const Vec3d& v) { return from_rows(v * u.x, v * u.y, v * u.z); }

constexpr Mat3 zero_matrix() { return from_rows(Vec3d::zero(), Vec3d::zero(), Vec3d::zero()); }

}  // namespace galdrin
