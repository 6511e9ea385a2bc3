#include <gtest/gtest.h>

#include <cmath>

#include "rigid_transform.hpp"
#include "test_support.hpp"

using galdrin::AngleRadians;
using galdrin::Mat3;
using galdrin::Quat;
using galdrin::RigidTransform;
using galdrin::Vec3d;

using namespace test_support;

namespace {

const Quat Q = normalize(Quat{0.9, 0.1, -0.3, 0.2});
const Quat P = from_axis_angle(Vec3d::k(), AngleRadians::half_pi());
const RigidTransform X{Q, {1.5, -2.0, 0.25}};
const RigidTransform Y{P, {0.0, 3.0, -1.0}};

void expect_near(const Vec3d& a, const Vec3d& b, double tolerance) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

}  // namespace

TEST(RigidTransform, ApplyIsRotateThenAdd) {
    const Vec3d p{0.3, -0.7, 2.0};
    const Vec3d r = rotate(Q, p);
    expect_bits(apply(X, p), r.x + 1.5, r.y + -2.0, r.z + 0.25);
    expect_bits(apply(RigidTransform::identity(), p), p.x, p.y, p.z);
}

TEST(RigidTransform, ThenAppliesTheFirstFirst) {
    const RigidTransform z = then(X, Y);
    EXPECT_EQ(bits(z.rotation.w), bits(then(Q, P).w));
    EXPECT_EQ(bits(z.rotation.k), bits(then(Q, P).k));
    const Vec3d t = apply(Y, X.translation);
    expect_bits(z.translation, t.x, t.y, t.z);
    const Vec3d p{0.3, -0.7, 2.0};
    expect_near(apply(z, p), apply(Y, apply(X, p)), 1e-14);
}

TEST(RigidTransform, InverseUndoes) {
    const RigidTransform inv = inverse(X);
    const Quat r = inverse(Q);
    EXPECT_EQ(bits(inv.rotation.i), bits(r.i));
    const Vec3d t = -rotate(r, X.translation);
    expect_bits(inv.translation, t.x, t.y, t.z);
    const Vec3d p{0.3, -0.7, 2.0};
    expect_near(apply(inv, apply(X, p)), p, 1e-15);
    expect_near(apply(then(X, inv), p), p, 1e-15);
}

TEST(RigidTransform, EqualityIsExact) {
    EXPECT_TRUE(X == X);
    EXPECT_FALSE(X == Y);
    EXPECT_FALSE((RigidTransform{-Q, X.translation}) == X);  // the same rotation, another quaternion
    EXPECT_TRUE((RigidTransform{Quat::identity(), {-0.0, 0, 0}}) == RigidTransform::identity());
    EXPECT_FALSE((RigidTransform{Quat::identity(), {NaN, 0, 0}}) == (RigidTransform{Quat::identity(), {NaN, 0, 0}}));
}

TEST(RigidTransform, HomogeneousMatrix) {
    const galdrin::Matrix4 m = to_matrix(X);
    const Mat3 r = galdrin::from_rotation(Q);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(m[i][j]), bits(index(r.rows[i], j)));
    }
    EXPECT_EQ(m[0][3], 1.5);
    EXPECT_EQ(m[1][3], -2.0);
    EXPECT_EQ(m[2][3], 0.25);
    EXPECT_EQ(m[3][0], 0.0);
    EXPECT_EQ(m[3][3], 1.0);
    const RigidTransform back = galdrin::from_matrix(m);
    const double s = dot(back.rotation, Q) < 0 ? -1.0 : 1.0;
    EXPECT_NEAR(back.rotation.w * s, Q.w, 1e-15);
    EXPECT_NEAR(back.rotation.j * s, Q.j, 1e-15);
    expect_bits(back.translation, 1.5, -2.0, 0.25);
    EXPECT_LE(std::fabs(magnitude(back.rotation) - 1.0), 2 * galdrin::EPSILON);
}

TEST(RigidTransform, OrthonormalityError) {
    EXPECT_EQ(galdrin::orthonormality_error(Mat3::identity()), 0.0);
    EXPECT_LE(galdrin::orthonormality_error(galdrin::from_rotation(Q)), 1e-15);
    EXPECT_EQ(galdrin::orthonormality_error(galdrin::diagonal({2, 1, 1})), 3.0);
    EXPECT_TRUE(std::isnan(galdrin::orthonormality_error(galdrin::diagonal({1, NaN, 1}))));
}
