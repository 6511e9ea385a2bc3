#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "test_support.hpp"
#include "quat.hpp"
#include "quat_random.hpp"

using galdrin::AngleRadians;
using galdrin::Quat;
using galdrin::Vec3d;
using galdrin::from_rotation_matrix;

using namespace test_support;

namespace {

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

namespace {

// |a - b| <= ulps * 2^-53 per component: rounding-level agreement for values
// of magnitude about 1.
bool near(const Quat& a, const Quat& b, double ulps = 4) {
    const double tol = ulps * 0x1p-53;
    return std::fabs(a.w - b.w) <= tol && std::fabs(a.i - b.i) <= tol && std::fabs(a.j - b.j) <= tol &&
           std::fabs(a.k - b.k) <= tol;
}

bool near(const Vec3d& a, const Vec3d& b, double ulps = 4) {
    const double tol = ulps * 0x1p-53;
    return std::fabs(a.x - b.x) <= tol && std::fabs(a.y - b.y) <= tol && std::fabs(a.z - b.z) <= tol;
}

bool near_up_to_sign(const Quat& a, const Quat& b, double ulps = 4) { return near(a, b, ulps) || near(a, -b, ulps); }

bool all_nan(const Quat& q) { return std::isnan(q.w) && std::isnan(q.i) && std::isnan(q.j) && std::isnan(q.k); }

const Quat tilted = normalize(Quat{0.3, -0.5, 0.7, 0.4});
const Quat other = normalize(Quat{-0.6, 0.2, 0.1, -0.75});

}  // namespace

TEST(Quat, ThenIsTheHamiltonProduct) {
    const Quat r = then(tilted, other);
    const Quat p = tilted * other;
    expect_bits(r, p.w, p.i, p.j, p.k);
}

TEST(Quat, ThenAppliesTheFirstRotationFirst) {
    const Vec3d v{0.25, -1.5, 2};
    EXPECT_TRUE(near(rotate(then(tilted, other), v), rotate(other, rotate(tilted, v)), 16));
    const Quat quarter_x = from_axis_angle(Vec3d::i(), AngleRadians::half_pi());
    // x then z turns y to z; z then x turns y to -x
    EXPECT_TRUE(near(rotate(then(quarter_x, quarter_z), Vec3d::j()), Vec3d::k()));
    EXPECT_TRUE(near(rotate(then(quarter_z, quarter_x), Vec3d::j()), Vec3d{-1, 0, 0}));
}

TEST(Quat, DotSumsInOrder) {
    EXPECT_EQ(bits(dot(Quat{1, 2, 3, 4}, Quat{5, 6, 7, 8})), bits(70.0));
    // ((1e16 + 1) - 1e16) + 1: the first sum rounds the 1 away
    EXPECT_EQ(bits(dot(Quat{1e16, 1, -1e16, 1}, Quat{1, 1, 1, 1})), bits(1.0));
    EXPECT_TRUE(std::isnan(dot(Quat{NaN, 0, 0, 0}, Quat::identity())));
}

TEST(Quat, InverseDividesTheConjugate) {
    expect_bits(inverse(Quat{1, 2, 2, 4}), 1.0 / 25, -2.0 / 25, -2.0 / 25, -4.0 / 25);
    expect_bits(inverse(Quat::identity()), 1, -0.0, -0.0, -0.0);
    EXPECT_TRUE(all_nan(inverse(Quat{0, 0, 0, 0})));
    EXPECT_TRUE(near(then(tilted, inverse(tilted)), Quat::identity()));
    EXPECT_TRUE(near(then(inverse(tilted), tilted), Quat::identity()));
}

TEST(Quat, SlerpEnds) {
    for (const Quat& b : {other, -other}) {
        const Quat at0 = slerp(tilted, b, 0.0);
        expect_bits(at0, tilted.w, tilted.i, tilted.j, tilted.k);
        // dot(tilted, other) < 0, so the end is -other
        const Quat at1 = slerp(tilted, b, 1.0);
        expect_bits(at1, -other.w, -other.i, -other.j, -other.k);
    }
}

TEST(Quat, SlerpTakesTheShorterArc) {
    for (const double t : {-0.5, 0.25, 0.5, 0.9, 1.75}) {
        const Quat p = slerp(tilted, other, t);
        const Quat n = slerp(tilted, -other, t);
        expect_bits(p, n.w, n.i, n.j, n.k);
        EXPECT_TRUE(std::fabs(magnitude(p) - 1.0) <= 4 * 0x1p-53) << t;
    }
}

TEST(Quat, SlerpGrowsTheAngleLinearly) {
    const Quat eighth_z = from_axis_angle(Vec3d::k(), AngleRadians{0.7853981633974483});
    EXPECT_TRUE(near(slerp(Quat::identity(), quarter_z, 0.5), eighth_z));
    // beyond the ends it extrapolates: twice a quarter turn is a half turn
    EXPECT_TRUE(near(slerp(Quat::identity(), quarter_z, 2.0), Quat{0, 0, 0, -1}));
    EXPECT_TRUE(near(slerp(Quat::identity(), quarter_z, -1.0), conjugate(quarter_z)));
}

TEST(Quat, SlerpOfNearlyEqualInputsInterpolatesLinearly) {
    expect_bits(slerp(tilted, tilted, 0.5), tilted.w, tilted.i, tilted.j, tilted.k);
    const Quat nearby{tilted.w, tilted.i, tilted.j, std::nextafter(tilted.k, 1.0)};
    for (const double t : {0.0, 1.0}) {
        const Quat end = t == 0.0 ? tilted : nearby;
        const Quat r = slerp(tilted, nearby, t);
        expect_bits(r, end.w, end.i, end.j, end.k);
    }
    const Quat id = Quat::identity();
    const Quat tiny = from_axis_angle(Vec3d::k(), AngleRadians{1e-9});
    const Quat mid = slerp(id, tiny, 0.5);
    EXPECT_FALSE(all_nan(mid));
    EXPECT_TRUE(near(mid, from_axis_angle(Vec3d::k(), AngleRadians{0.5e-9})));
    // just above the cut-off the spherical formula agrees as well
    const Quat small = from_axis_angle(Vec3d::k(), AngleRadians{1e-7});
    EXPECT_TRUE(near(slerp(id, small, 0.25), from_axis_angle(Vec3d::k(), AngleRadians{0.25e-7})));
}

TEST(Quat, FromRotationMatrixIdentityAndHalfTurns) {
    expect_bits(from_rotation_matrix(to_rotation_matrix(Quat::identity())), 1, 0, 0, 0);
    expect_bits(from_rotation_matrix(to_rotation_matrix(Quat{0, 1, 0, 0})), 0, 1, 0, 0);
    expect_bits(from_rotation_matrix(to_rotation_matrix(Quat{0, 0, 1, 0})), 0, 0, 1, 0);
    expect_bits(from_rotation_matrix(to_rotation_matrix(Quat{0, 0, 0, 1})), 0, 0, 0, 1);
}

TEST(Quat, FromRotationMatrixRoundTripsOnEveryBranch) {
    // each quaternion has a different component of largest magnitude
    const Quat cases[] = {
        normalize(Quat{0.9, 0.1, -0.3, 0.2}),  normalize(Quat{0.1, -0.9, 0.3, 0.2}),
        normalize(Quat{-0.2, 0.1, 0.9, -0.3}), normalize(Quat{0.3, 0.2, -0.1, -0.9}),
        tilted,                                other,
        from_axis_angle(normalize(Vec3d{1, 2, 3}), AngleRadians{3.14159}),
        from_axis_angle(normalize(Vec3d{-3, 1, 2}), AngleRadians{3.141592653589793}),
    };
    for (const Quat& q : cases) {
        const Quat r = from_rotation_matrix(to_rotation_matrix(q));
        EXPECT_TRUE(near_up_to_sign(r, q, 8)) << q.w << " " << q.i << " " << q.j << " " << q.k;
    }
}

TEST(Quat, FromRotationMatrixOfNaN) {
    auto m = to_rotation_matrix(tilted);
    m[2][1] = NaN;
    const Quat r = from_rotation_matrix(m);
    EXPECT_TRUE(std::isnan(r.w) || std::isnan(r.i) || std::isnan(r.j) || std::isnan(r.k));
    m[0][0] = NaN;
    EXPECT_TRUE(all_nan(from_rotation_matrix(m)));
}

TEST(Quat, RotationBetween) {
    const Vec3d a{1, 2, -0.5};
    const Vec3d b{-3, 0.25, 4};
    const Quat r = rotation_between(a, b);
    EXPECT_TRUE(std::fabs(magnitude(r) - 1.0) <= 4 * 0x1p-53);
    EXPECT_TRUE(near(rotate(r, normalize(a)), normalize(b), 8));
    // the axis is perpendicular to both
    EXPECT_TRUE(std::fabs(dot(Vec3d{r.i, r.j, r.k}, a)) <= 4 * 0x1p-53);
    EXPECT_TRUE(near(rotation_between(Vec3d::i(), Vec3d{0, 5, 0}), quarter_z));
    EXPECT_TRUE(near(rotation_between(a, a * 3.0), Quat::identity()));
}

TEST(Quat, RotationBetweenAntiparallelIsAHalfTurn) {
    // about cross(a, e), e along the component of least magnitude
    expect_bits(rotation_between(Vec3d::i(), Vec3d{-2, 0, 0}), 0, 0, 0, 1);
    expect_bits(rotation_between(Vec3d::j(), Vec3d{0, -1, 0}), 0, 0, 0, -1);
    expect_bits(rotation_between(Vec3d::k(), Vec3d{0, 0, -1}), 0, 0, 1, 0);
    const Vec3d a{1, 2, 3};
    const Quat r = rotation_between(a, -a);
    EXPECT_EQ(bits(r.w), bits(0.0));
    EXPECT_TRUE(near(rotate(r, normalize(a)), -normalize(a)));
    EXPECT_TRUE(std::fabs(magnitude(r) - 1.0) <= 2 * 0x1p-53);
}

TEST(Quat, RotationBetweenZeroVectorIsNaN) {
    EXPECT_TRUE(all_nan(rotation_between(Vec3d::zero(), Vec3d::i())));
    EXPECT_TRUE(all_nan(rotation_between(Vec3d::i(), Vec3d::zero())));
}

TEST(QuatRandom, ElementsComeFromTheirOwnSequences) {
    // Element i depends on (seed, i) only, and is a unit quaternion.
    const Quat a = galdrin::random_rotation(7, 3), b = galdrin::random_rotation(7, 3);
    EXPECT_EQ(bits(a.w), bits(b.w));
    EXPECT_EQ(bits(a.k), bits(b.k));
    EXPECT_NE(bits(a.w), bits(galdrin::random_rotation(7, 4).w));
    EXPECT_NE(bits(a.w), bits(galdrin::random_rotation(8, 3).w));
    for (std::uint64_t i = 0; i < 1000; ++i) EXPECT_NEAR(magnitude(galdrin::random_rotation(1, i)), 1.0, 8 * 0x1p-53);
    // SplitMix64's first output for state 0.
    galdrin::SplitMix64 g{0};
    EXPECT_EQ(g.next(), 0xE220A8397B1DCDAFull);
}

TEST(QuatAngles, RotationAngleIsScaleFreeAndSignFree) {
    const Quat q{0.5, -0.5, 0.5, 0.5};
    const double want = galdrin::rotation_angle(q);
    EXPECT_EQ(want, 2 * std::atan2(std::sqrt(0.75), 0.5));
    for (double s : {-1.0, 0x1p-1060, 0x1p1000, -0x1p-1000})
        EXPECT_EQ(bits(galdrin::rotation_angle({q.w * s, q.i * s, q.j * s, q.k * s})), bits(want));
    EXPECT_EQ(galdrin::angle_between(q, q), 0.0);
    EXPECT_EQ(galdrin::rotation_angle({0, 0, 0, 0}), 0.0);
}
