#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "symmetric_eigen.hpp"
#include "test_support.hpp"

using galdrin::Mat4;
using galdrin::eigen_symmetric;
using namespace test_support;

namespace {

template <std::size_t N = 4>
galdrin::SquareMatrix<N> random_symmetric(std::mt19937_64& rng, double scale) {
    std::uniform_real_distribution<double> u(-scale, scale);
    galdrin::SquareMatrix<N> m{};
    for (std::size_t r = 0; r < N; ++r)
        for (std::size_t c = r; c < N; ++c) m[r][c] = m[c][r] = u(rng);
    return m;
}

template <std::size_t N>
double norm_of(const galdrin::SquareMatrix<N>& m) {
    double s = 0;
    for (const auto& row : m)
        for (double x : row) s += x * x;
    return std::sqrt(s);
}

}  // namespace

TEST(SymmetricEigen4, DiagonalIsSortedWithUnitVectors) {
    const Mat4 m{{{1, 0, 0, 0}, {0, 4, 0, 0}, {0, 0, -2, 0}, {0, 0, 0, 3}}};
    const auto e = eigen_symmetric<4>(m);
    EXPECT_EQ(e.values, (std::array<double, 4>{4, 3, 1, -2}));
    EXPECT_EQ(e.vectors[0], (std::array<double, 4>{0, 1, 0, 0}));
    EXPECT_EQ(e.vectors[1], (std::array<double, 4>{0, 0, 0, 1}));
    EXPECT_EQ(e.vectors[3], (std::array<double, 4>{0, 0, 1, 0}));
}

TEST(SymmetricEigen4, EqualValuesKeepTheirDiagonalOrder) {
    const auto e = eigen_symmetric<4>(Mat4{{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, 2}}});
    for (int k = 0; k < 4; ++k)
        for (int r = 0; r < 4; ++r) EXPECT_EQ(e.vectors[k][r], k == r ? 1.0 : 0.0);
}

TEST(SymmetricEigen4, TwoByTwoBlockIsExact) {
    // [[2, 1], [1, 2]]: eigenvalues 3 and 1, vectors (1, 1) / sqrt 2 and (1, -1) / sqrt 2.
    const auto e = eigen_symmetric<4>(Mat4{{{2, 1, 0, 0}, {1, 2, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}});
    EXPECT_EQ(e.values[0], 3.0);
    EXPECT_EQ(e.values[1], 1.0);
    EXPECT_NEAR(e.vectors[0][0], std::sqrt(0.5), 2 * 0x1p-53);
    EXPECT_NEAR(e.vectors[0][1], std::sqrt(0.5), 2 * 0x1p-53);
    EXPECT_GT(std::abs(e.vectors[1][0]), 0.7);
    EXPECT_EQ(e.vectors[1][0], -e.vectors[1][1]);
}

template <std::size_t N>
void expect_diagonalised_to_rounding(int count) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < count; ++i) {
        const double scale = std::ldexp(1.0, static_cast<int>(rng() % 200) - 100);
        const auto m = random_symmetric<N>(rng, scale);
        const auto e = eigen_symmetric<N>(m);
        const double bound = 64 * 0x1p-53 * norm_of<N>(m);
        for (std::size_t k = 0; k < N; ++k) {
            if (k > 0) EXPECT_GE(e.values[k - 1], e.values[k]);
            double length = 0;
            std::size_t big = 0;
            for (std::size_t r = 0; r < N; ++r) {
                double mv = 0;
                for (std::size_t c = 0; c < N; ++c) mv += m[r][c] * e.vectors[k][c];
                EXPECT_LE(std::abs(mv - e.values[k] * e.vectors[k][r]), bound);
                length += e.vectors[k][r] * e.vectors[k][r];
                if (std::abs(e.vectors[k][r]) > std::abs(e.vectors[k][big])) big = r;
            }
            EXPECT_NEAR(length, 1.0, 8 * 0x1p-53);  // the scaling and the test's own sum of squares
            EXPECT_GT(e.vectors[k][big], 0.0);
            for (std::size_t j = 0; j < k; ++j) {
                double d = 0;
                for (std::size_t r = 0; r < N; ++r) d += e.vectors[j][r] * e.vectors[k][r];
                EXPECT_LE(std::abs(d), 64 * 0x1p-53);
            }
        }
    }
}

TEST(SymmetricEigen4, RandomMatricesAreDiagonalisedToRounding) { expect_diagonalised_to_rounding<4>(2000); }

TEST(SymmetricEigen3, RandomMatricesAreDiagonalisedToRounding) { expect_diagonalised_to_rounding<3>(2000); }

TEST(SymmetricEigen4, ReadsOnlyTheUpperTriangle) {
    std::mt19937_64 rng(5);
    Mat4 m = random_symmetric(rng, 1.0);
    const auto want = eigen_symmetric<4>(m);
    m[3][0] = m[2][1] = 1e300;
    const auto got = eigen_symmetric<4>(m);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(bits(got.values[k]), bits(want.values[k]));
        for (int r = 0; r < 4; ++r) EXPECT_EQ(bits(got.vectors[k][r]), bits(want.vectors[k][r]));
    }
}

TEST(SymmetricEigen4, NonFiniteEntriesGiveNaN) {
    for (double bad : {NaN, Inf, -Inf}) {
        Mat4 m{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
        m[1][2] = bad;
        const auto e = eigen_symmetric<4>(m);
        for (int k = 0; k < 4; ++k) {
            EXPECT_TRUE(std::isnan(e.values[k]));
            for (double x : e.vectors[k]) EXPECT_TRUE(std::isnan(x));
        }
    }
}

TEST(SymmetricEigen4, RankOneOfAQuaternionGivesItBack) {
    // q q^T has the eigenvalue |q|^2 with the vector q (up to sign), the others 0.
    const double q[4] = {0.5, -0.5, 0.5, 0.5};
    Mat4 m{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m[r][c] = q[r] * q[c];
    const auto e = eigen_symmetric<4>(m);
    EXPECT_NEAR(e.values[0], 1.0, 4 * 0x1p-53);
    const double sign = e.vectors[0][0] > 0 ? 1.0 : -1.0;
    for (int r = 0; r < 4; ++r) EXPECT_NEAR(sign * e.vectors[0][r], q[r], 4 * 0x1p-53);
}
