// The chordal mean of rotations: the unit quaternion q that maximises
// sum w_i (q . q_i)^2, the eigenvector of the largest eigenvalue of
// M = sum w_i q_i q_i^T, so that q_i and -q_i count alike. The quaternions are
// taken as given: one of norm s weighs s^2 times as much as a unit one.
#pragma once

#include <array>
#include <cstddef>
#include <limits>

#include "symmetric_eigen.hpp"
#include "quat.hpp"

namespace galdrin {

// The upper triangle of w q q^T, row by row: ww, wi, wj, wk, ii, ij, ik, jj, jk, kk.
struct QuatOuter {
    std::array<double, 10> e;

    static constexpr QuatOuter zero() { return {}; }
};

constexpr QuatOuter operator+(const QuatOuter& a, const QuatOuter& b) {
    QuatOuter s;
    for (std::size_t k = 0; k < 10; ++k) s.e[k] = a.e[k] + b.e[k];
    return s;
}

constexpr QuatOuter operator*(const QuatOuter& a, double w) {
    QuatOuter s;
    for (std::size_t k = 0; k < 10; ++k) s.e[k] = a.e[k] * w;
    return s;
}

// Each entry q_r * q_c.
constexpr QuatOuter outer(const Quat& q) {
    const double c[4] = {q.w, q.i, q.j, q.k};
    QuatOuter o;
    std::size_t k = 0;
    for (int r = 0; r < 4; ++r)
        for (int s = r; s < 4; ++s) o.e[k++] = c[r] * c[s];
    return o;
}

// The unit eigenvector of M's largest eigenvalue (its largest component
// positive); NaN when that eigenvalue is not positive (no quaternions, or all
// of weight or norm zero) or M holds a NaN or an infinity.
inline Quat dominant_quat(const QuatOuter& m) {
    Mat4 a{};
    std::size_t k = 0;
    for (int r = 0; r < 4; ++r)
        for (int c = r; c < 4; ++c) a[r][c] = a[c][r] = m.e[k++];
    const auto e = eigen_symmetric<4>(a);
    if (!(e.values[0] > 0.0)) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan, nan};
    }
    const auto& v = e.vectors[0];
    return {v[0], v[1], v[2], v[3]};
}

}  // namespace galdrin
