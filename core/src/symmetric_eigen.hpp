// Eigenvalues and eigenvectors of a small symmetric matrix (N x N) by the
// cyclic Jacobi method, in one fixed order of operations, so that the same
// matrix gives the same bits on every run and every thread.
//
// Each sweep annihilates the off-diagonal entries (p, q), p < q, row by row:
// (0, 1), (0, 2), ..., (1, 2), ... with the rotation of the smaller angle. An
// entry is skipped once it is negligible next to both diagonal entries of its
// rows (it would no longer change them); the sweeps stop when a sweep skips
// every entry, at the latest after EIGEN_MAX_SWEEPS. The pairs are returned by
// descending eigenvalue, equal values in the order their diagonal entries
// ended; each vector is turned so that its component of largest magnitude (the
// first of equal ones) is positive, and scaled to unit length. A matrix with a
// NaN or an infinite entry gives NaN everywhere.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

namespace galdrin {

template <std::size_t N>
using SquareMatrix = std::array<std::array<double, N>, N>;

using Mat4 = SquareMatrix<4>;

template <std::size_t N>
struct SymmetricEigen {
    std::array<double, N> values;                // descending
    std::array<std::array<double, N>, N> vectors;  // vectors[k] belongs to values[k], unit length
};

inline constexpr int EIGEN_MAX_SWEEPS = 64;

namespace eigen_detail {

// |apq| no longer changes app or aqq: the rotation would move each by about
// apq^2 / |app - aqq| or |apq|, below half an ulp of either.
inline bool negligible(double apq, double app, double aqq) {
    const double a = std::abs(apq) * 0x1p54;
    return a <= std::abs(app) && a <= std::abs(aqq);
}

}  // namespace eigen_detail

// Only the upper triangle of a is read.
template <std::size_t N>
SymmetricEigen<N> eigen_symmetric(const SquareMatrix<N>& input) {
    SquareMatrix<N> a{};
    for (std::size_t r = 0; r < N; ++r)
        for (std::size_t c = 0; c < N; ++c) a[r][c] = r <= c ? input[r][c] : input[c][r];
    SymmetricEigen<N> out{};
    for (std::size_t r = 0; r < N; ++r)
        for (std::size_t c = r; c < N; ++c)
            if (!std::isfinite(a[r][c])) {
                const double nan = std::numeric_limits<double>::quiet_NaN();
                out.values.fill(nan);
                for (auto& v : out.vectors) v.fill(nan);
                return out;
            }
    SquareMatrix<N> v{};  // v[k] is the k-th column of the accumulated rotation
    for (std::size_t k = 0; k < N; ++k) v[k][k] = 1.0;
    for (int sweep = 0; sweep < EIGEN_MAX_SWEEPS; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < N; ++p) {
            for (std::size_t q = p + 1; q < N; ++q) {
                const double apq = a[p][q];
                if (apq == 0.0 || eigen_detail::negligible(apq, a[p][p], a[q][q])) continue;
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
                for (std::size_t r = 0; r < N; ++r) {
                    if (r == p || r == q) continue;
                    const double arp = a[r][p], arq = a[r][q];
                    a[r][p] = a[p][r] = c * arp - s * arq;
                    a[r][q] = a[q][r] = s * arp + c * arq;
                }
                for (std::size_t r = 0; r < N; ++r) {
                    const double vp = v[p][r], vq = v[q][r];
                    v[p][r] = c * vp - s * vq;
                    v[q][r] = s * vp + c * vq;
                }
            }
        }
        if (!rotated) break;
    }
    std::array<std::size_t, N> order{};
    for (std::size_t k = 0; k < N; ++k) order[k] = k;
    for (std::size_t i = 1; i < N; ++i)  // insertion sort: stable, descending
        for (std::size_t j = i; j > 0 && a[order[j]][order[j]] > a[order[j - 1]][order[j - 1]]; --j)
            std::swap(order[j], order[j - 1]);
    for (std::size_t k = 0; k < N; ++k) {
        const std::size_t i = order[k];
        out.values[k] = a[i][i];
        std::size_t big = 0;
        for (std::size_t r = 1; r < N; ++r)
            if (std::abs(v[i][r]) > std::abs(v[i][big])) big = r;
        // The product of the rotations drifts from unit length by a few ulps per
        // sweep; the squares are summed from the first component on.
        double squares = v[i][0] * v[i][0];
        for (std::size_t r = 1; r < N; ++r) squares = squares + v[i][r] * v[i][r];
        const double scale = (v[i][big] < 0.0 ? -1.0 : 1.0) / std::sqrt(squares);
        for (std::size_t r = 0; r < N; ++r) out.vectors[k][r] = v[i][r] * scale;
    }
    return out;
}

}  // namespace galdrin
