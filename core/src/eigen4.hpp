// Eigenvalues and eigenvectors of a symmetric 4x4 matrix by the cyclic Jacobi
// method, in one fixed order of operations, so that the same matrix gives the
// same bits on every run and every thread.
//
// Each sweep annihilates the off-diagonal entries (p, q) in the order (0, 1),
// (0, 2), (0, 3), (1, 2), (1, 3), (2, 3) with the rotation of the smaller
// angle. An entry is skipped once it is negligible next to both diagonal
// entries of its rows (it would no longer change them); the sweeps stop when a
// sweep skips every entry, at the latest after EIGEN4_MAX_SWEEPS. The pairs are
// returned by descending eigenvalue, equal values in the order their diagonal
// entries ended; each vector is turned so that its component of largest
// magnitude (the first of equal ones) is positive, and scaled to unit length. A matrix with a NaN or an
// infinite entry gives NaN everywhere.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace galdrin {

using Mat4 = std::array<std::array<double, 4>, 4>;

struct Eigen4 {
    std::array<double, 4> values;                // descending
    std::array<std::array<double, 4>, 4> vectors;  // vectors[k] belongs to values[k], unit length
};

inline constexpr int EIGEN4_MAX_SWEEPS = 64;

namespace eigen4_detail {

// |apq| no longer changes app or aqq: the rotation would move each by about
// apq^2 / |app - aqq| or |apq|, below half an ulp of either.
inline bool negligible(double apq, double app, double aqq) {
    const double a = std::abs(apq) * 0x1p54;
    return a <= std::abs(app) && a <= std::abs(aqq);
}

}  // namespace eigen4_detail

// Only the upper triangle of a is read.
inline Eigen4 eigen_symmetric4(const Mat4& input) {
    Mat4 a{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) a[r][c] = r <= c ? input[r][c] : input[c][r];
    Eigen4 out{};
    for (int r = 0; r < 4; ++r)
        for (int c = r; c < 4; ++c)
            if (!std::isfinite(a[r][c])) {
                const double nan = std::numeric_limits<double>::quiet_NaN();
                out.values.fill(nan);
                for (auto& v : out.vectors) v.fill(nan);
                return out;
            }
    Mat4 v{};  // v[k] is the k-th column of the accumulated rotation
    for (int k = 0; k < 4; ++k) v[k][k] = 1.0;
    static constexpr int P[6] = {0, 0, 0, 1, 1, 2}, Q[6] = {1, 2, 3, 2, 3, 3};
    for (int sweep = 0; sweep < EIGEN4_MAX_SWEEPS; ++sweep) {
        bool rotated = false;
        for (int k = 0; k < 6; ++k) {
            const int p = P[k], q = Q[k];
            const double apq = a[p][q];
            if (apq == 0.0 || eigen4_detail::negligible(apq, a[p][p], a[q][q])) continue;
            rotated = true;
            // t = tan of the rotation angle, the root of t^2 + 2 theta t - 1 = 0 of smaller magnitude.
            const double theta = (a[q][q] - a[p][p]) / (2.0 * apq);
            const double t = std::abs(theta) > 0x1p500
                                 ? 0.5 / theta
                                 : std::copysign(1.0, theta) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
            const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
            a[p][p] = a[p][p] - t * apq;
            a[q][q] = a[q][q] + t * apq;
            a[p][q] = a[q][p] = 0.0;
            for (int r = 0; r < 4; ++r) {
                if (r == p || r == q) continue;
                const double arp = a[r][p], arq = a[r][q];
                a[r][p] = a[p][r] = c * arp - s * arq;
                a[r][q] = a[q][r] = s * arp + c * arq;
            }
            for (int r = 0; r < 4; ++r) {
                const double vp = v[p][r], vq = v[q][r];
                v[p][r] = c * vp - s * vq;
                v[q][r] = s * vp + c * vq;
            }
        }
        if (!rotated) break;
    }
    std::array<int, 4> order{0, 1, 2, 3};
    for (int i = 1; i < 4; ++i)  // insertion sort: stable, descending
        for (int j = i; j > 0 && a[order[j]][order[j]] > a[order[j - 1]][order[j - 1]]; --j) std::swap(order[j], order[j - 1]);
    for (int k = 0; k < 4; ++k) {
        const int i = order[k];
        out.values[k] = a[i][i];
        int big = 0;
        for (int r = 1; r < 4; ++r)
            if (std::abs(v[i][r]) > std::abs(v[i][big])) big = r;
        // The product of the rotations drifts from unit length by a few ulps per sweep.
        const double length = std::sqrt(((v[i][0] * v[i][0] + v[i][1] * v[i][1]) + v[i][2] * v[i][2]) + v[i][3] * v[i][3]);
        const double scale = (v[i][big] < 0.0 ? -1.0 : 1.0) / length;
        for (int r = 0; r < 4; ++r) out.vectors[k][r] = v[i][r] * scale;
    }
    return out;
}

}  // namespace galdrin
