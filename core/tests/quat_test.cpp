#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "test_support.hpp"
#include "quat.hpp"

using galdrin::AngleRadians;
using galdrin::Quat;
using galdrin::Vec3d;

using namespace test_support;

namespace {


void expect_bits(const Quat& q, double w, double i, double j, double k) {
    EXPECT_EQ(bits(q.w), bits(w));
    EXPECT_EQ(bits(q.i), bits(i));
    EXPECT_EQ(bits(q.j), bits(j));
    EXPECT_EQ(bits(q.k), bits(k));
}

// Quarter turn about z, as built from the axis (0, 0, 1).
const Quat quarter_z = from_axis_angle(Vec3d::k(), AngleRadians::half_pi());

}  // namespace

TEST(Quat, ConstructionAndConversions) {
    expect_bits(Quat::identity(), 1, 0, 0, 0);
    expect_bits(Quat{-0.0, 1, 2, 3}, -0.0, 1, 2, 3);
    expect_bits(galdrin::to_quat(Vec3d{-0.0, 2, NaN}), 0.0, -0.0, 2, NaN);
    const auto v = to_vec3d(Quat{1, 2, 3, 4});
    EXPECT_EQ(v[0], 2);
    EXPECT_EQ(v[1], 3);
    EXPECT_EQ(v[2], 4);
}

TEST(Quat, HamiltonProduct) {
    expect_bits(Quat{0, 1, 0, 0} * Quat{0, 0, 1, 0}, 0, 0, 0, 1);
    expect_bits(Quat{0, 0, 1, 0} * Quat{0, 1, 0, 0}, 0, 0, 0, -1);
    expect_bits(Quat{0, 0, 0, 1} * Quat{0, 0, 0, 1}, -1, 0, 0, 0);
    expect_bits(Quat{1, 2, 3, 4} * Quat{5, 6, 7, 8}, -60, 12, 30, 24);
}

TEST(Quat, FromAxisAngleUsesTheNegativeHalfAngle) {
    expect_bits(quarter_z, 0.7071067811865476, -0.0, -0.0, -0.7071067811865475);
    EXPECT_EQ(bits(quarter_z.w), bits(std::cos(-0.7853981633974483)));
    EXPECT_EQ(bits(quarter_z.k), bits(std::sin(-0.7853981633974483)));
    // the axis is neither normalised nor validated
    const Quat long_axis = from_axis_angle(Vec3d{0, 0, 2}, AngleRadians::half_pi());
    EXPECT_EQ(bits(long_axis.k), bits(2 * -0.7071067811865475));
    const double h = 1.0 * -0.5;
    expect_bits(from_axis_angle(Vec3d::zero(), AngleRadians{1.0}), std::cos(h), -0.0, -0.0, -0.0);
}

TEST(Quat, RotateQuarterTurn) {
    expect_bits(rotate(quarter_z, Vec3d::i()), 2.220446049250313e-16, 1, 0);
}

TEST(Quat, RotateDoesNotNormalise) {
    const Vec3d v{1.5, -2, 3};
    expect_bits(rotate(Quat::identity(), v), 1.5, -2, 3);
    expect_bits(rotate(Quat{2, 0, 0, 0}, v), 6, -8, 12);
}

TEST(Quat, RotateEvaluatesZeroTerms) {
    // 0 * Inf terms of the full product turn into NaN rather than being skipped
    const Vec3d r = rotate(Quat::identity(), Vec3d{Inf, 0, 0});
    EXPECT_TRUE(std::isnan(r.y));
    EXPECT_TRUE(std::isnan(r.z));
}

TEST(Quat, RotationMatrixIsTheInverseRotation) {
    const auto m = to_rotation_matrix(quarter_z);
    // first column: the matrix applied to (1, 0, 0)
    EXPECT_EQ(bits(m[0][0]), bits(2.220446049250313e-16));
    EXPECT_EQ(bits(m[1][0]), bits(-1.0));
    EXPECT_EQ(bits(m[2][0]), bits(0.0));
    const auto id = to_rotation_matrix(Quat::identity());
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(bits(id[r][c]), bits(r == c ? 1.0 : 0.0)) << r << "," << c;
}

TEST(Quat, RotationMatrixOfNonUnit) {
    const auto m = to_rotation_matrix(Quat{1, 2, 3, 4});
    const double expected[3][3] = {{-49, 4, 22}, {20, -39, 20}, {10, 28, -25}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(bits(m[r][c]), bits(expected[r][c])) << r << "," << c;
}

TEST(Quat, ToAxisAngle) {
    const auto [axis, angle] = to_axis_angle(quarter_z);
    expect_bits(axis, -0.0, -0.0, -1);
    EXPECT_EQ(bits(angle.angle), bits(1.5707963267948966));
}

TEST(Quat, ToAxisAngleSpecialCaseNearOne) {
    for (const double w : {1.0, 1.0 - 0x1p-53}) {
        const auto [axis, angle] = to_axis_angle(Quat{w, 0.5, 0.5, 0.5});
        expect_bits(axis, 1, 0, 0);
        EXPECT_EQ(bits(angle.angle), bits(0.0));
    }
    const auto [axis, angle] = to_axis_angle(Quat{1.0 + 0x1p-52, 0, 0, 0});
    EXPECT_TRUE(std::isnan(angle.angle));
    EXPECT_TRUE(std::isnan(axis.x) && std::isnan(axis.y) && std::isnan(axis.z));
}

TEST(Quat, ToAxisAngleOfMinusOne) {
    const auto [axis, angle] = to_axis_angle(Quat{-1, 0, 0, 0});
    expect_bits(axis, 0, 0, 0);
    EXPECT_EQ(bits(angle.angle), bits(6.283185307179586));
}

TEST(Quat, MagnitudeNormalizeIsUnit) {
    const Quat q{1, 2, 2, 4};
    EXPECT_EQ(bits(magnitude(q)), bits(5.0));
    EXPECT_FALSE(is_unit(q));
    expect_bits(normalize(q), 0.2, 0.4, 0.4, 0.8);
    EXPECT_TRUE(is_unit(normalize(q)));
    const Quat z = normalize(Quat{0, 0, 0, 0});
    EXPECT_TRUE(std::isnan(z.w) && std::isnan(z.i) && std::isnan(z.j) && std::isnan(z.k));
    EXPECT_FALSE(is_unit(Quat{0, 0, 0, 0}));
    EXPECT_TRUE(is_unit(Quat::identity()));
    EXPECT_FALSE(is_unit(Quat{1 + 0x1p-52, 0, 0, 0}));
    EXPECT_FALSE(is_unit(Quat{NaN, 0, 0, 0}));
}

TEST(Quat, Conjugate) {
    expect_bits(conjugate(Quat::identity()), 1, -0.0, -0.0, -0.0);
    expect_bits(conjugate(Quat{-2, -0.0, 3, -4}), -2, 0.0, -3, 4);
}

TEST(Quat, EqualityIsAbsoluteAndStrict) {
    EXPECT_TRUE((Quat{0, 0, 0, 0}) == (Quat{1e-16, 0, 0, 0}));
    EXPECT_FALSE((Quat{0, 0, 0, 0}) == (Quat{3e-16, 0, 0, 0}));
    EXPECT_TRUE((Quat{0, 0, 0, 0}) != (Quat{0, 0, 0, 3e-16}));
    EXPECT_FALSE((Quat{0, 0, 0, 0}) == (Quat{0, 0, 0x1p-52, 0}));
    EXPECT_FALSE((Quat{1e20, 0, 0, 0}) == (Quat{1e20 + 16384, 0, 0, 0}));
    EXPECT_FALSE((Quat{NaN, 0, 0, 0}) == (Quat{NaN, 0, 0, 0}));
    EXPECT_FALSE((Quat{0, 0, Inf, 0}) == (Quat{0, 0, Inf, 0}));
}
