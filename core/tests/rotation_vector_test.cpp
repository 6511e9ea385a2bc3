#include <gtest/gtest.h>

#include <cmath>

#include "applying_matrix.hpp"
#include "exchange_order.hpp"
#include "rotation_vector.hpp"
#include "test_support.hpp"

using galdrin::Quat;
using galdrin::Vec3d;

using namespace test_support;

TEST(RotationVector, ZeroIsTheIdentityExactly) {
    expect_bits(galdrin::from_rotation_vector(Vec3d::zero()), 1, 0, 0, 0);
    expect_bits(galdrin::from_rotation_vector(Vec3d{-0.0, -0.0, -0.0}), 1, 0, 0, 0);
    const Vec3d r = galdrin::to_rotation_vector(Quat::identity());
    EXPECT_EQ(bits(r.x), bits(0.0));
    EXPECT_EQ(bits(r.y), bits(0.0));
    EXPECT_EQ(bits(r.z), bits(0.0));
}

TEST(RotationVector, ClosedFormAboveTheSeries) {
    const Quat q = galdrin::from_rotation_vector(Vec3d{0, 0, 2});
    expect_bits(q, std::cos(1.0), 0.0 - (std::sin(1.0) / 2.0) * 0.0, 0.0 - (std::sin(1.0) / 2.0) * 0.0,
                0.0 - (std::sin(1.0) / 2.0) * 2.0);
    const Quat axis = from_axis_angle(Vec3d::k(), galdrin::AngleRadians{2.0});
    EXPECT_NEAR(q.k, axis.k, 1e-16);
}

TEST(RotationVector, SeriesForSmallAngles) {
    const double t = 1e-4, t2 = t * t;
    const Quat q = galdrin::from_rotation_vector(Vec3d{t, 0, 0});
    EXPECT_EQ(bits(q.w), bits(1.0 + t2 * (-0.125 + t2 * (1.0 / 384.0 + t2 * (-1.0 / 46080.0 + t2 * (1.0 / 10321920.0))))));
    EXPECT_EQ(bits(q.i),
              bits(0.0 - (0.5 + t2 * (-1.0 / 48.0 + t2 * (1.0 / 3840.0 + t2 * (-1.0 / 645120.0 + t2 * (1.0 / 185794560.0))))) * t));
    EXPECT_NEAR(q.w, std::cos(t / 2), 1e-17);
    EXPECT_NEAR(q.i, -std::sin(t / 2), 1e-20);
    const Vec3d r = galdrin::to_rotation_vector(q);
    EXPECT_NEAR(r.x, t, 1e-19);
}

TEST(RotationVector, RoundTripAndShorterWay) {
    const Vec3d v{0.3, -1.2, 0.5};
    const Vec3d r = galdrin::to_rotation_vector(galdrin::from_rotation_vector(v));
    EXPECT_NEAR(r.x, v.x, 1e-15);
    EXPECT_NEAR(r.y, v.y, 1e-15);
    EXPECT_NEAR(r.z, v.z, 1e-15);
    // three half turns about y come back as one half turn the other way
    const Vec3d back = galdrin::to_rotation_vector(galdrin::from_rotation_vector(Vec3d{0, 3 * M_PI / 2, 0}));
    EXPECT_NEAR(back.y, -M_PI / 2, 1e-15);
    // scale does not matter
    const Quat q = galdrin::from_rotation_vector(v);
    const Vec3d s = galdrin::to_rotation_vector(Quat{q.w * 8, q.i * 8, q.j * 8, q.k * 8});
    EXPECT_NEAR(s.x, v.x, 1e-15);
}

TEST(RotationVector, NonFiniteInputs) {
    const Quat q = galdrin::from_rotation_vector(Vec3d{INFINITY, 0, 0});
    EXPECT_TRUE(std::isnan(q.w));
    EXPECT_TRUE(std::isnan(galdrin::from_rotation_vector(Vec3d{NaN, 0, 0}).i));
    EXPECT_TRUE(std::isnan(galdrin::to_rotation_vector(Quat{0, 0, 0, 0}).x));
    EXPECT_TRUE(std::isnan(galdrin::to_rotation_vector(Quat{NaN, 0, 0, 0}).y));
}

TEST(ExchangeOrder, NegatesTheVectorPart) {
    const Quat q{1, 2, -0.0, NaN};
    const auto x = galdrin::to_xyzw(q);
    EXPECT_EQ(bits(x[0]), bits(-2.0));
    EXPECT_EQ(bits(x[1]), bits(0.0));
    EXPECT_TRUE(std::isnan(x[2]));
    EXPECT_EQ(bits(x[3]), bits(1.0));
    expect_bits(galdrin::from_xyzw(x[0], x[1], 5, x[3]), 1, 2, -0.0, -5);
    const auto w = galdrin::to_wxyz(Quat{1, 2, 3, 4});
    expect_bits(galdrin::from_wxyz(w[0], w[1], w[2], w[3]), 1, 2, 3, 4);
}

TEST(ApplyingMatrix, TransposeOfTheStoredConvention) {
    const Quat q{0.5, -0.5, 0.5, 0.5};
    const auto m = to_rotation_matrix(q);
    const auto a = galdrin::to_applying_matrix(q);
    const auto c = to_rotation_matrix(conjugate(q));
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(bits(a[r][k]), bits(m[k][r]));
            EXPECT_EQ(bits(a[r][k]), bits(c[r][k]));
        }
    expect_bits(galdrin::from_applying_matrix(a), 0.5, -0.5, 0.5, 0.5);
    // a applies the rotation: a * v = rotate(q, v)
    const Vec3d v{1, 2, 3};
    const Vec3d want = rotate(q, v);
    EXPECT_NEAR((a[0][0] * v.x + a[0][1] * v.y) + a[0][2] * v.z, want.x, 1e-15);
    EXPECT_NEAR((a[1][0] * v.x + a[1][1] * v.y) + a[1][2] * v.z, want.y, 1e-15);
    EXPECT_NEAR((a[2][0] * v.x + a[2][1] * v.y) + a[2][2] * v.z, want.z, 1e-15);
}
