// The chordal mean of rotations: the unit quaternion q that maximises
// sum w_i (q . q_i)^2, the eigenvector of the largest eigenvalue of
// M = sum w_i q_i q_i^T, so that q_i and -q_i count alike. The quaternions are
// taken as given: one of norm s weighs s^2 times as much as a unit one.
#pragma once

#include <array>
#include <cstddef>
#include <limits>

#include "double_pair.hpp"
#include "symmetric_eigen.hpp"
#include "quat.hpp"

namespace galdrin {

// The upper triangle of w q q^T, row by row: ww, wi, wj, wk, ii, ij, ik, jj, jk, kk,
// held in pairs so that sums of many run two entries to an instruction.
struct QuatOuter {
    DoublePair p[5];

    static constexpr QuatOuter zero() { return {}; }
    constexpr double entry(std::size_t k) const { return p[k / 2][k % 2]; }
};

constexpr QuatOuter operator+(const QuatOuter& a, const QuatOuter& b) {
    QuatOuter s;
    for (std::size_t k = 0; k < 5; ++k) s.p[k] = a.p[k] + b.p[k];
    return s;
}

constexpr QuatOuter operator*(const QuatOuter& a, double w) {
    QuatOuter s;
    for (std::size_t k = 0; k < 5; ++k) s.p[k] = a.p[k] * w;
    return s;
}

// Each entry q_r * q_c (jk as k * j, the same product).
constexpr QuatOuter outer(const Quat& q) {
    using Pair = DoublePair;
    const Pair wi{q.w, q.i}, jk{q.j, q.k};
    return {{Pair{q.w, q.w} * wi, Pair{q.w, q.w} * jk, Pair{q.i, q.i} * Pair{q.i, q.j}, Pair{q.i, q.j} * Pair{q.k, q.j},
             Pair{q.k, q.k} * jk}};
}

// The unit eigenvector of M's largest eigenvalue (its largest component
// positive); NaN when that eigenvalue is not positive (no quaternions, or all
// of weight or norm zero) or M holds a NaN or an infinity.
inline Quat dominant_quat(const QuatOuter& m) {
    Mat4 a{};
    std::size_t k = 0;
    for (int r = 0; r < 4; ++r)
        for (int c = r; c < 4; ++c) a[r][c] = a[c][r] = m.entry(k++);
    const auto e = eigen_symmetric<4>(a);
    if (!(e.values[0] > 0.0)) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan, nan};
    }
    const auto& v = e.vectors[0];
    return {v[0], v[1], v[2], v[3]};
}

}  // namespace galdrin
