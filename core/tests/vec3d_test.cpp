#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "test_support.hpp"
#include "vec3d.hpp"

using galdrin::Vec3d;

using namespace test_support;

TEST(Vec3d, NormalizeExactAndDegenerate) {
    expect_bits(normalize(Vec3d{3, 4, 0}), 0.6, 0.8, 0.0);
    const Vec3d n = normalize(Vec3d::zero());
    EXPECT_TRUE(std::isnan(n.x) && std::isnan(n.y) && std::isnan(n.z));
}

TEST(Vec3d, IsUnitIsStrict) {
    EXPECT_TRUE(is_unit(Vec3d::i()));
    EXPECT_FALSE(is_unit(Vec3d{1 + 0x1p-52, 0, 0}));
    EXPECT_FALSE(is_unit(Vec3d::zero()));
    EXPECT_FALSE(is_unit(Vec3d{NAN, 0, 0}));
}

TEST(Vec3d, AngleToClampsParallelPairs) {
    EXPECT_EQ(angle_to(Vec3d{1, 1, 1}, Vec3d{1, 1, 1}), 0.0);
    EXPECT_EQ(angle_to(Vec3d{1, 1, 0}, Vec3d{1, 1, 0}), 2.1073424255447017e-08);
    EXPECT_EQ(angle_to(Vec3d{1, 2, 3}, Vec3d{1, 2, 3}), 0.0);
    EXPECT_EQ(angle_to(Vec3d::i(), Vec3d::j()), 1.5707963267948966);
    EXPECT_EQ(angle_to(Vec3d::i(), Vec3d{-1, 0, 0}), 3.141592653589793);
    EXPECT_TRUE(std::isnan(angle_to(Vec3d::i(), Vec3d::zero())));
}

TEST(Vec3d, EqualityIsAbsoluteAndStrict) {
    EXPECT_TRUE(Vec3d::zero() == (Vec3d{1e-16, 0, 0}));
    EXPECT_FALSE(Vec3d::zero() == (Vec3d{2.220446049250313e-16, 0, 0}));
    EXPECT_FALSE((Vec3d{1, 2, 3}) == (Vec3d{1, 2, 3 + 4.5e-16}));
    EXPECT_FALSE((Vec3d{NAN, 0, 0}) == (Vec3d{NAN, 0, 0}));
    EXPECT_FALSE((Vec3d{INFINITY, 0, 0}) == (Vec3d{INFINITY, 0, 0}));
    EXPECT_TRUE(Vec3d::zero() == -Vec3d::zero());
    expect_bits(-Vec3d::zero(), -0.0, -0.0, -0.0);
}

TEST(Vec3d, LinesAndPlanes) {
    EXPECT_EQ(distance_to_line(Vec3d::j(), Vec3d::zero(), Vec3d{2, 0, 0}), 1.0);
    EXPECT_TRUE(std::isnan(distance_to_line(Vec3d::j(), Vec3d::i(), Vec3d::i())));
    const Vec3d p = project_onto_line(Vec3d::j(), Vec3d::i(), Vec3d::i());
    EXPECT_TRUE(std::isnan(p.x) && std::isnan(p.y) && std::isnan(p.z));
    expect_bits(project_onto_plane(Vec3d{1, 2, 3}, Vec3d{0, 0, 2}), 1, 2, -9);
    expect_bits(project_onto_plane(Vec3d{1, 2, 3}, Vec3d::k()), 1, 2, 0);
}

TEST(Vec3d, ProjectOntoLineUsesItsOwnOrder) {
    // q - t*d with t from (q - p).d; the algebraically equal q + ((p-q).d/d.d) d rounds differently here.
    const Vec3d p{0.1, 0.7, 0.3}, r{1.3, -2.2, 0.9}, q{-0.4, 0.25, 3.1};
    const Vec3d d = r - q;
    const double t = dot(q - p, d) / dot(d, d);
    expect_bits(project_onto_line(p, r, q), q.x - t * d.x, q.y - t * d.y, q.z - t * d.z);
}

TEST(Vec3d, DivisionFollowsIeee) {
    const Vec3d v = Vec3d{1, -1, 0} / 0.0;
    EXPECT_EQ(v.x, INFINITY);
    EXPECT_EQ(v.y, -INFINITY);
    EXPECT_TRUE(std::isnan(v.z));
}

TEST(Vec3d, ProductsOfTheBasis) {
    EXPECT_EQ(scalar_triple_product(Vec3d::i(), Vec3d::j(), Vec3d::k()), 1.0);
    expect_bits(cross(Vec3d::i(), Vec3d::j()), 0, 0, 1);
    expect_bits(new_from_to(Vec3d{1, 2, 3}, Vec3d{4, 4, 4}), 3, 2, 1);
}

TEST(Vec3d, IndexOutOfRangePanics) {
    EXPECT_EQ(index(Vec3d{1, 2, 3}, 2), 3.0);
    EXPECT_THROW(index(Vec3d{1, 2, 3}, 3), galdrin::Panic);
}
