// Covariances of point sets as 3x3 matrices: sums of outer products of the
// points' offsets from their means, on the summation tree of summation.hpp.
#pragma once

#include <cstddef>

#include "mat3.hpp"
#include "summation.hpp"
#include "vec3d.hpp"

namespace galdrin {

// The matrix u v^T: entry (r, c) is u_r * v_c.
constexpr Mat3 outer(const Vec3d& u, const Vec3d& v) { return from_rows(v * u.x, v * u.y, v * u.z); }

constexpr Mat3 zero_matrix() { return from_rows(Vec3d::zero(), Vec3d::zero(), Vec3d::zero()); }

// The covariance of points[0..n): the sum of outer(p - m, p - m) over n - 1,
// m their mean, both sums on the summation tree.
constexpr Mat3 covariance(const Vec3d* points, std::size_t n) {
    const Vec3d m = mean(points, n);
    const Mat3 s = tree_sum(n, [points, m](std::size_t i) { return outer(points[i] - m, points[i] - m); }, zero_matrix());
    return s / static_cast<double>(n - 1);
}

}  // namespace galdrin
