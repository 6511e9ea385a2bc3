#include <gtest/gtest.h>

#include <cmath>

#include "mat3.hpp"
#include "test_support.hpp"

using galdrin::AngleRadians;
using galdrin::Mat3;
using galdrin::Quat;
using galdrin::Vec3d;

using namespace test_support;

namespace {

void expect_bits(const Mat3& m, const Mat3& want) {
    for (int r = 0; r < 3; ++r) test_support::expect_bits(m.rows[r], want.rows[r].x, want.rows[r].y, want.rows[r].z);
}

const Mat3 A = galdrin::from_rows({1.5, -2.0, 0.25}, {3.0, 0.1, -7.0}, {0.3, 4.0, 2.0});
const Mat3 B = galdrin::from_rows({0.7, 1.0, -0.2}, {-1.1, 2.5, 0.0}, {5.0, 0.3, 1.9});

}  // namespace

TEST(Mat3, Construction) {
    expect_bits(Mat3::identity(), galdrin::from_rows({1, 0, 0}, {0, 1, 0}, {0, 0, 1}));
    expect_bits(galdrin::diagonal({2, -0.0, 3}), galdrin::from_rows({2, 0, 0}, {0, -0.0, 0}, {0, 0, 3}));
    expect_bits(galdrin::from_columns({1, 2, 3}, {4, 5, 6}, {7, 8, 9}),
                galdrin::from_rows({1, 4, 7}, {2, 5, 8}, {3, 6, 9}));
    expect_bits(galdrin::transpose(A), galdrin::from_columns(A.rows[0], A.rows[1], A.rows[2]));
    expect_bits(galdrin::from_entries(galdrin::entries(A)), A);
    test_support::expect_bits(galdrin::column(A, 1), -2.0, 0.1, 4.0);
}

TEST(Mat3, TimesVectorIsRowDots) {
    const Vec3d v{0.1, 0.2, 0.3};
    const Vec3d p = A * v;
    test_support::expect_bits(p, dot(A.rows[0], v), dot(A.rows[1], v), dot(A.rows[2], v));
    EXPECT_EQ(bits(p.y), bits((3.0 * 0.1 + 0.1 * 0.2) + -7.0 * 0.3));
    test_support::expect_bits(Mat3::identity() * Vec3d{-0.0, 2, 3}, 0.0, 2, 3);  // -0 + 0 is +0
    // NaN and infinities propagate through every term
    EXPECT_TRUE(all_nan(A * Vec3d{NaN, 0, 0}));
    const Vec3d inf = Mat3::identity() * Vec3d{Inf, 1, 1};
    EXPECT_EQ(inf.x, Inf);
    EXPECT_TRUE(std::isnan(inf.y));  // 0 * inf
}

TEST(Mat3, TimesMatrixIsRowColumnDots) {
    const Mat3 p = A * B;
    for (int r = 0; r < 3; ++r)
        test_support::expect_bits(p.rows[r], dot(A.rows[r], galdrin::column(B, 0)),
                                  dot(A.rows[r], galdrin::column(B, 1)), dot(A.rows[r], galdrin::column(B, 2)));
    expect_bits(A * Mat3::identity(), A);
    const Vec3d v{0.5, -1.25, 2.0};
    test_support::expect_bits((A * B) * v, ((A * B) * v).x, ((A * B) * v).y, ((A * B) * v).z);
}

TEST(Mat3, EntryWise) {
    expect_bits(A + B, galdrin::from_rows(A.rows[0] + B.rows[0], A.rows[1] + B.rows[1], A.rows[2] + B.rows[2]));
    expect_bits(A - B, galdrin::from_rows(A.rows[0] - B.rows[0], A.rows[1] - B.rows[1], A.rows[2] - B.rows[2]));
    expect_bits(A * 0.1, galdrin::from_rows(A.rows[0] * 0.1, A.rows[1] * 0.1, A.rows[2] * 0.1));
    expect_bits(0.1 * A, A * 0.1);
    expect_bits(A / 3.0, galdrin::from_rows(A.rows[0] / 3.0, A.rows[1] / 3.0, A.rows[2] / 3.0));
    expect_bits(-A, A * -1.0);
    EXPECT_EQ(bits((A / 0.0).rows[0].x), bits(Inf));
}

TEST(Mat3, Equality) {
    EXPECT_TRUE(A == A);
    EXPECT_FALSE(A == B);
    EXPECT_TRUE(galdrin::diagonal({0.0, 1, 1}) == galdrin::diagonal({-0.0, 1, 1}));
    EXPECT_FALSE(galdrin::diagonal({NaN, 1, 1}) == galdrin::diagonal({NaN, 1, 1}));
    // exact: one unit in the last place differs
    EXPECT_FALSE(galdrin::diagonal({1, 1, 1}) == galdrin::diagonal({1, 1, std::nextafter(1.0, 2.0)}));
}

TEST(Mat3, TraceAndDeterminant) {
    EXPECT_EQ(bits(trace(A)), bits((1.5 + 0.1) + 2.0));
    EXPECT_EQ(bits(det(A)), bits(scalar_triple_product(A.rows[0], A.rows[1], A.rows[2])));
    const Vec3d n = cross(A.rows[1], A.rows[2]);
    EXPECT_EQ(bits(det(A)), bits((n.x * 1.5 + n.y * -2.0) + n.z * 0.25));
    EXPECT_EQ(det(Mat3::identity()), 1.0);
    EXPECT_EQ(det(galdrin::from_rows({1, 2, 3}, {2, 4, 6}, {0, 1, 1})), 0.0);
    EXPECT_TRUE(std::isnan(det(galdrin::diagonal({Inf, 0, 1}))));
}

TEST(Mat3, InverseIsAdjugateOverDeterminant) {
    const Mat3 inv = inverse(A);
    const Vec3d a = cross(A.rows[1], A.rows[2]), b = cross(A.rows[2], A.rows[0]), c = cross(A.rows[0], A.rows[1]);
    const double d = det(A);
    expect_bits(inv, galdrin::from_rows({a.x / d, b.x / d, c.x / d}, {a.y / d, b.y / d, c.y / d},
                                        {a.z / d, b.z / d, c.z / d}));
    const Mat3 p = A * inv;
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(index(p.rows[r], k), r == k ? 1.0 : 0.0, 1e-15);
    expect_bits(inverse(galdrin::diagonal({2, 4, 0.5})), galdrin::diagonal({0.5, 0.25, 2}));
    // a singular matrix divides by zero
    const Mat3 s = inverse(galdrin::from_rows({1, 2, 3}, {2, 4, 6}, {0, 1, 1}));
    EXPECT_TRUE(std::isinf(s.rows[0].x) || std::isnan(s.rows[0].x));
}

TEST(Mat3, FromRotationIsTheTransposeOfToRotationMatrix) {
    const Quat q = normalize(Quat{0.9, 0.1, -0.3, 0.2});
    const auto m = to_rotation_matrix(q);
    const Mat3 r = galdrin::from_rotation(q);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(index(r.rows[i], j)), bits(m[j][i]));
}

TEST(Mat3, FromRotationAppliesRotate) {
    const Quat quarter_z = from_axis_angle(Vec3d::k(), AngleRadians::half_pi());
    const Vec3d v{1, 2, 3};
    const Vec3d by_matrix = galdrin::from_rotation(quarter_z) * v;
    const Vec3d by_quat = rotate(quarter_z, v);
    EXPECT_NEAR(by_matrix.x, by_quat.x, 1e-15);
    EXPECT_NEAR(by_matrix.y, by_quat.y, 1e-15);
    EXPECT_NEAR(by_matrix.z, by_quat.z, 1e-15);
    EXPECT_NEAR(by_matrix.x, -2.0, 1e-15);  // v about +z by a quarter turn, as rotate applies it
    for (const Quat& q : {Quat{0.5, 0.5, -0.5, 0.5}, normalize(Quat{0.1, 0.9, 0.2, -0.4}), Quat::identity()}) {
        const Vec3d w{-0.7, 1.3, 4.1};
        const Vec3d x = galdrin::from_rotation(q) * w, y = rotate(q, w);
        EXPECT_LE(magnitude(x - y), 8 * 0x1p-52 * magnitude(w));
    }
}

TEST(Mat3, ToRotationInvertsFromRotation) {
    for (const Quat& q : {Quat{0.5, 0.5, -0.5, 0.5}, normalize(Quat{0.1, 0.9, 0.2, -0.4}), Quat::identity(),
                          normalize(Quat{-0.2, 0.1, 0.1, 0.95})}) {
        const Quat back = to_rotation(galdrin::from_rotation(q));
        const double s = dot(back, q) < 0 ? -1.0 : 1.0;
        EXPECT_NEAR(back.w * s, q.w, 1e-15);
        EXPECT_NEAR(back.i * s, q.i, 1e-15);
        EXPECT_NEAR(back.j * s, q.j, 1e-15);
        EXPECT_NEAR(back.k * s, q.k, 1e-15);
    }
    // the bits of from_rotation_matrix of the transpose
    const Quat q = to_rotation(A);
    const Quat want = galdrin::from_rotation_matrix(galdrin::entries(galdrin::transpose(A)));
    EXPECT_EQ(bits(q.w), bits(want.w));
    EXPECT_EQ(bits(q.i), bits(want.i));
    EXPECT_EQ(bits(q.j), bits(want.j));
    EXPECT_EQ(bits(q.k), bits(want.k));
}
