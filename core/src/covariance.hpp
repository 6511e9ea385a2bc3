// Covariances of point sets as 3x3 matrices: sums of outer products of the
// points' offsets from their means, on the summation tree of summation.hpp.
#pragma once

#include <cstddef>

#include "double_pair.hpp"
#include "mat3.hpp"
#include "summation.hpp"
#include "vec3d.hpp"

namespace galdrin {

// A term of a sum of outer products, or the sum: the nine entries row by row
// in pairs, the tenth slot unused. Summed entry by entry, it gives the bits of
// the same sum of Mat3s.
struct OuterSum {
    DoublePair p[5];

    static constexpr OuterSum zero() { return {}; }
};

constexpr OuterSum operator+(const OuterSum& a, const OuterSum& b) {
    OuterSum s;
    for (int k = 0; k < 5; ++k) s.p[k] = a.p[k] + b.p[k];
    return s;
}

constexpr OuterSum operator*(const OuterSum& a, double w) {
    OuterSum s;
    for (int k = 0; k < 5; ++k) s.p[k] = a.p[k] * w;
    return s;
}

// The outer product u v^T as a term: entry (r, c) is u_r * v_c.
constexpr OuterSum outer_term(const Vec3d& u, const Vec3d& v) {
    using Pair = DoublePair;
    return {{Pair{u.x, u.x} * Pair{v.x, v.y}, Pair{u.x, u.y} * Pair{v.z, v.x}, Pair{u.y, u.y} * Pair{v.y, v.z},
             Pair{u.z, u.z} * Pair{v.x, v.y}, Pair{u.z, 0.0} * Pair{v.z, 0.0}}};
}

constexpr Mat3 to_matrix(const OuterSum& s) {
    return from_rows(Vec3d{s.p[0][0], s.p[0][1], s.p[1][0]}, Vec3d{s.p[1][1], s.p[2][0], s.p[2][1]},
                     Vec3d{s.p[3][0], s.p[3][1], s.p[4][0]});
}

// The covariance of points[0..n): the sum of outer(p - m, p - m) over n - 1,
// m their mean, both sums on the summation tree.
constexpr Mat3 covariance(const Vec3d* points, std::size_t n) {
    const Vec3d m = mean(points, n);
    const OuterSum s = tree_sum(n, [points, m](std::size_t i) { return outer_term(points[i] - m, points[i] - m); },
                                OuterSum::zero());
    return to_matrix(s) / static_cast<double>(n - 1);
}

}  // namespace galdrin
