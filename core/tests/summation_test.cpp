#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "summation.hpp"
#include "test_support.hpp"

using galdrin::Vec3d;

using namespace test_support;

TEST(Summation, EmptyIsPositiveZero) {
    expect_bits(galdrin::sum(nullptr, 0), 0.0, 0.0, 0.0);
    EXPECT_FALSE(std::signbit(galdrin::dot_sum(nullptr, nullptr, 0)));
    const Vec3d m = galdrin::mean(nullptr, 0);
    EXPECT_TRUE(std::isnan(m.x) && std::isnan(m.y) && std::isnan(m.z));
}

TEST(Summation, OneLeafIsSummedInOrderFromItsFirstTerm) {
    const std::vector<Vec3d> v{{-0.0, 1e16, 1}, {-0.0, 1, 2}, {-0.0, 1, 3}};
    // In order, 1e16 + 1 + 1 loses both ones; a single -0 stays -0.
    expect_bits(galdrin::sum(v.data(), 3), -0.0, 1e16, 6);
    expect_bits(galdrin::mean(v.data(), 3), -0.0, 1e16 / 3, 2);
}

TEST(Summation, LeavesAreCombinedPairwise) {
    // Three leaves: (leaf 0) + (leaf 1 + leaf 2). Leaf 0 holds 1e16 and ones
    // it loses; leaves 1 and 2 sum to 256 exactly, which then counts.
    const std::size_t n = 3 * galdrin::SUM_LEAF;
    std::vector<Vec3d> v(n, Vec3d{1, 0, 0});
    v[0].x = 1e16;
    const Vec3d s = galdrin::sum(v.data(), n);
    EXPECT_EQ(s.x, 1e16 + 256.0);
    double in_order = 0.0;
    for (const Vec3d& e : v) in_order += e.x;
    EXPECT_EQ(in_order, 1e16);
}

TEST(Summation, TreeDoesNotDependOnHowLeavesAreComputed) {
    const std::size_t n = 1000;
    std::vector<Vec3d> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = {0.1 * static_cast<double>(i), 1.0 / static_cast<double>(i + 1), std::sin(static_cast<double>(i))};
        b[i] = {std::cos(static_cast<double>(i)), 0.3, -1.0 / 7.0};
    }
    std::vector<Vec3d> leaves;
    std::vector<double> dots;
    for (std::size_t k = 0; k < galdrin::sum_leaves(n); ++k) {
        leaves.push_back(galdrin::leaf_sum(k, n, [&](std::size_t i) { return a[i]; }));
        dots.push_back(galdrin::leaf_sum(k, n, [&](std::size_t i) { return dot(a[i], b[i]); }));
    }
    for (const std::size_t stride : {1, 2}) {
        const std::size_t first = stride == 1 ? 2 : 0;  // leaves 2-5 or 0, 2, 4, 6: full ones
        Vec3d four[7];
        double four_dots[7];
        galdrin::four_leaf_sums(first, stride, [&](std::size_t i) { return a[i]; }, four);
        galdrin::four_leaf_sums(first, stride, [&](std::size_t i) { return dot(a[i], b[i]); }, four_dots);
        for (std::size_t j = 0; j < 4; ++j) {
            const std::size_t k = first + j * stride;
            expect_bits(four[j * stride], leaves[k].x, leaves[k].y, leaves[k].z);
            EXPECT_EQ(test_support::bits(four_dots[j * stride]), test_support::bits(dots[k]));
        }
    }
    const Vec3d s = galdrin::combine_pairwise(0, leaves.size(), [&](std::size_t k) { return leaves[k]; });
    const Vec3d want = galdrin::sum(a.data(), n);
    expect_bits(s, want.x, want.y, want.z);
    EXPECT_EQ(galdrin::combine_pairwise(0, dots.size(), [&](std::size_t k) { return dots[k]; }),
              galdrin::dot_sum(a.data(), b.data(), n));
}

TEST(Vec3d, AddScaledRoundsTheProductThenTheSum) {
    const Vec3d a{1, 2, 3}, o{0.1, -0.0, 1e300};
    const double f = 3.0;
    expect_bits(add_scaled(a, o, f), 1 + 0.1 * 3.0, 2.0, 3 + 1e300 * 3.0);
    const Vec3d p = o * f;
    const Vec3d s = add_scaled(a, o, f);
    const Vec3d q = a + p;
    expect_bits(s, q.x, q.y, q.z);
}
