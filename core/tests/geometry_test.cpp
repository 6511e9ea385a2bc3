#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <variant>

#include "test_support.hpp"
#include "geometry/circle.hpp"
#include "geometry/intersection.hpp"
#include "geometry/plane.hpp"

using galdrin::Circle;
using galdrin::CrossingPoints;
using galdrin::IntersectionError;
using galdrin::Plane;
using galdrin::Vec3d;

using namespace test_support;

namespace {



Circle unit_circle(const Vec3d& center, const Vec3d& normal = Vec3d::k()) { return Circle::make(center, 1.0, normal); }

CrossingPoints points(const Circle& a, const Circle& b) {
    const auto r = circle_circle(a, b);
    if (const auto* e = std::get_if<IntersectionError>(&r)) ADD_FAILURE() << message(*e);
    return std::holds_alternative<CrossingPoints>(r) ? std::get<CrossingPoints>(r)
                                                     : CrossingPoints{{NaN, NaN, NaN}, {NaN, NaN, NaN}};
}

std::optional<IntersectionError> failure(const Circle& a, const Circle& b) {
    const auto r = circle_circle(a, b);
    if (const auto* e = std::get_if<IntersectionError>(&r)) return *e;
    return std::nullopt;
}

}  // namespace

// Planes

TEST(Plane, MakeNormalisesAndNegatesTheOffset) {
    const Plane p = Plane::make(Vec3d{0, 0, 2}, 3.0);
    expect_bits(p.normal, 0, 0, 1);
    EXPECT_EQ(bits(p.distance), bits(-3.0));
    EXPECT_TRUE(contains_point(p, Vec3d{1, 2, 3}));
    EXPECT_EQ(bits(distance_to_point(p, Vec3d{1, 2, 0})), bits(3.0));
    EXPECT_EQ(bits(Plane::make(Vec3d::k(), 0.0).distance), bits(-0.0));
    EXPECT_EQ(bits(Plane::make(Vec3d::k(), -0.0).distance), bits(0.0));
}

TEST(Plane, FromPoint) {
    const Plane p = Plane::from_point(Vec3d{0, 0, 2}, Vec3d{1, 2, 3});
    expect_bits(p.normal, 0, 0, 1);
    EXPECT_EQ(bits(p.distance), bits(-3.0));
}

TEST(Plane, FromPointsIsCounterClockwise) {
    const Plane p = Plane::from_points(Vec3d::zero(), Vec3d::i(), Vec3d::j());
    expect_bits(p.normal, 0, 0, 1);
    EXPECT_EQ(bits(p.distance), bits(-0.0));
    EXPECT_EQ(bits(Plane::from_points(Vec3d::zero(), Vec3d::j(), Vec3d::i()).normal.z), bits(-1.0));
    const Plane q = Plane::from_points(Vec3d::i(), Vec3d::j(), Vec3d::k());
    expect_bits(q.normal, 0.5773502691896258, 0.5773502691896258, 0.5773502691896258);
    EXPECT_EQ(bits(q.distance), bits(-0.5773502691896258));
}

TEST(Plane, FromCollinearPointsIsNaN) {
    const Plane p = Plane::from_points(Vec3d::zero(), Vec3d::i(), Vec3d{2, 0, 0});
    EXPECT_TRUE(all_nan(p.normal));
    EXPECT_TRUE(std::isnan(p.distance));
    EXPECT_FALSE(contains_point(p, Vec3d::zero()));
    EXPECT_FALSE(contains_point(p, Vec3d::i()));
}

struct CoordinatePlane {
    Plane plane;
    Vec3d normal;
    Vec3d inside1, inside2;
};

class CoordinatePlanes : public testing::TestWithParam<CoordinatePlane> {};

TEST_P(CoordinatePlanes, NormalAlongTheMissingAxis) {
    const auto& [plane, normal, inside1, inside2] = GetParam();
    expect_bits(plane.normal, normal.x, normal.y, normal.z);
    EXPECT_EQ(bits(plane.distance), bits(-0.0));
    EXPECT_TRUE(contains_point(plane, inside1));
    EXPECT_TRUE(contains_point(plane, inside2));
    EXPECT_FALSE(contains_point(plane, normal));
    EXPECT_EQ(distance_to_point(plane, normal * -2.0), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Planes, CoordinatePlanes,
                         testing::Values(CoordinatePlane{Plane::xy(), Vec3d::k(), Vec3d::i(), Vec3d::j()},
                                         CoordinatePlane{Plane::xz(), Vec3d::j(), Vec3d::i(), Vec3d::k()},
                                         CoordinatePlane{Plane::yz(), Vec3d::i(), Vec3d::j(), Vec3d::k()}));

TEST(Plane, ContainsPointIsStrictAndAbsolute) {
    EXPECT_TRUE(contains_point(Plane::xy(), Vec3d{5, -7, 1e-17}));
    EXPECT_FALSE(contains_point(Plane::xy(), Vec3d{0, 0, 1e-15}));
    EXPECT_FALSE(contains_point(Plane::xy(), Vec3d{0, 0, 0x1p-52}));
}

TEST(Plane, ReflectOffMirrorsPointsBehindTheNormal) {
    const Plane floor = Plane::make(Vec3d{0, 2, 0}, 1.0);  // y = 1, normal +y
    Vec3d p{3, -0.5, 2}, v{1, -4, 0.25};
    reflect_off(floor, p, v);
    expect_bits(p, 3, 2.5, 2);
    expect_bits(v, 1, 4, 0.25);
    // On or in front of the plane, or at a NaN distance: nothing changes.
    for (const Vec3d start : {Vec3d{3, 1, 2}, Vec3d{3, 7, 2}, Vec3d{NaN, 0, 0}}) {
        Vec3d q = start, w{1, -4, 0.25};
        reflect_off(floor, q, w);
        EXPECT_EQ(bits(q.x), bits(start.x));
        EXPECT_EQ(bits(q.y), bits(start.y));
        expect_bits(w, 1, -4, 0.25);
    }
    // The documented order: s = n.p + d, then p - n * (2 * s) and v - n * (2 * (n.v)).
    const Plane tilted{Vec3d{0.6, 0.0, 0.8}, 0.3};
    Vec3d a{-1.25, 7, 0.1}, b{0.5, -2, 3};
    const double s = dot(tilted.normal, a) + tilted.distance;
    const Vec3d want_a = a - tilted.normal * (2.0 * s), want_b = b - tilted.normal * (2.0 * dot(tilted.normal, b));
    reflect_off(tilted, a, b);
    expect_bits(a, want_a.x, want_a.y, want_a.z);
    expect_bits(b, want_b.x, want_b.y, want_b.z);
}

TEST(Plane, AssignedNormalIsUsedAsStored) {
    const Plane p{Vec3d{0, 0, 2}, -3.0};
    EXPECT_EQ(distance_to_point(p, Vec3d::zero()), 3.0);
    EXPECT_EQ(distance_to_point(p, Vec3d{0, 0, 3}), 3.0);
    EXPECT_FALSE(contains_point(p, Vec3d{0, 0, 3}));
}

// Circles

TEST(Circle, MakeClearsTheRadiusSignAndNormalises) {
    const Circle c = Circle::make(Vec3d{1, 2, 3}, -2.0, Vec3d{0, 0, 5});
    expect_bits(c.center, 1, 2, 3);
    EXPECT_EQ(bits(c.radius), bits(2.0));
    expect_bits(c.normal, 0, 0, 1);
    EXPECT_EQ(bits(area(c)), bits(12.566370614359172));
    EXPECT_EQ(bits(Circle::make(Vec3d::zero(), -0.0, Vec3d::k()).radius), bits(0.0));
}

TEST(Circle, None) {
    const Circle c = Circle::none();
    expect_bits(c.center, 0, 0, 0);
    EXPECT_EQ(bits(c.radius), bits(0.0));
    EXPECT_EQ(bits(c.normal.x), 0x7FF8000000000000u);
    EXPECT_EQ(bits(c.normal.y), 0x7FF8000000000000u);
    EXPECT_EQ(bits(c.normal.z), 0x7FF8000000000000u);
    EXPECT_TRUE(is_degenerate(c));
    const Plane p = get_plane(c);
    EXPECT_TRUE(all_nan(p.normal));
    EXPECT_TRUE(std::isnan(p.distance));
    EXPECT_FALSE(c == c);
}

TEST(Circle, IsDegenerateLooksOnlyAtTheRadius) {
    EXPECT_TRUE(is_degenerate(Circle{Vec3d::i(), -0.0, Vec3d::k()}));
    EXPECT_FALSE(is_degenerate(Circle{Vec3d::i(), NaN, Vec3d::k()}));
    EXPECT_FALSE(is_degenerate(Circle{Vec3d::i(), 1e-300, Vec3d{NaN, NaN, NaN}}));
}

TEST(Circle, GetPlaneRenormalises) {
    const Plane p = get_plane(Circle{Vec3d{0, 0, 2}, 1.0, Vec3d{0, 0, 5}});
    expect_bits(p.normal, 0, 0, 1);
    EXPECT_EQ(bits(p.distance), bits(-2.0));
}

TEST(Circle, Equality) {
    const Vec3d c{1, 2, 3};
    EXPECT_TRUE(Circle::make(c, 2.0, Vec3d::k()) == Circle::make(c, 2.0, -Vec3d::k()));
    EXPECT_FALSE(Circle::make(c, 2.0, Vec3d::k()) == Circle::make(c, std::nextafter(2.0, 3.0), Vec3d::k()));
    EXPECT_TRUE(Circle::make(c, 2.0, Vec3d::k()) == Circle::make(Vec3d{1, 2, 3 + 1e-17}, 2.0, Vec3d::k()));
    EXPECT_FALSE(Circle::make(c, 2.0, Vec3d::k()) == Circle::make(c, 2.0, Vec3d::j()));
    EXPECT_FALSE(Circle::make(c, NaN, Vec3d::k()) == Circle::make(c, NaN, Vec3d::k()));
    // normals are compared as stored
    EXPECT_FALSE((Circle{c, 2.0, Vec3d{0, 0, 2}}) == (Circle{c, 2.0, Vec3d::k()}));
}

TEST(Circle, InSamePlane) {
    EXPECT_TRUE(in_same_plane(unit_circle(Vec3d{0, 0, 1}), unit_circle(Vec3d{1, 0, 1})));
    EXPECT_TRUE(in_same_plane(unit_circle(Vec3d{0, 0, 0}), unit_circle(Vec3d{1, 0, 0}, -Vec3d::k())));
    EXPECT_FALSE(in_same_plane(unit_circle(Vec3d{0, 0, 1}), unit_circle(Vec3d{1, 0, 2})));
    EXPECT_FALSE(in_same_plane(unit_circle(Vec3d::zero()), unit_circle(Vec3d::zero(), Vec3d::j())));
    // radii are not examined
    EXPECT_TRUE(in_same_plane(Circle::make(Vec3d::zero(), 1, Vec3d::k()), Circle::make(Vec3d::i(), NaN, Vec3d::k())));
}

TEST(Circle, InSamePlaneWithOppositeNormals) {
    // one plane z = 1 seen from both sides
    EXPECT_TRUE(in_same_plane(unit_circle(Vec3d{0, 0, 1}), unit_circle(Vec3d{1, 0, 1}, -Vec3d::k())));
    // equal offsets, but the planes are z = 1 and z = -1
    EXPECT_FALSE(in_same_plane(unit_circle(Vec3d{0, 0, 1}), unit_circle(Vec3d{1, 0, -1}, -Vec3d::k())));
}

// Intersections

TEST(IntersectionError, OrdinalsAndMessages) {
    EXPECT_EQ(static_cast<int>(IntersectionError::TooFarApart), 0);
    EXPECT_EQ(static_cast<int>(IntersectionError::Contained), 1);
    EXPECT_EQ(static_cast<int>(IntersectionError::Identical), 2);
    EXPECT_EQ(static_cast<int>(IntersectionError::OutOfPlane), 3);
    EXPECT_STREQ(message(IntersectionError::TooFarApart),
                 "The given geometries are too far apart and do not intersect at all.");
    EXPECT_STREQ(message(IntersectionError::Contained),
                 "One of the given geometries is contained entirely within the other. The surfaces do not intersect.");
    EXPECT_STREQ(message(IntersectionError::Identical), "The given geometries are identical.");
    EXPECT_STREQ(message(IntersectionError::OutOfPlane), "The given geometries are out of plane from each other");
}

TEST(PlaneLine, ThroughTheOrigin) {
    expect_bits(plane_line(Plane::xy(), Vec3d{0, 0, 1}, Vec3d{0, 0, -1}), 0, 0, 0);
    // outside the segment
    expect_bits(plane_line(Plane::xy(), Vec3d{1, 1, 2}, Vec3d{2, 3, 4}), 0, -1, 0);
    expect_bits(plane_line(Plane::xz(), Vec3d{1, 1, 2}, Vec3d{2, 3, 4}), 0.5, 0, 1);
    expect_bits(plane_line(Plane::yz(), Vec3d{1, 1, 2}, Vec3d{2, 3, 4}), 0, -1, 0);
}

TEST(PlaneLine, MeetsTheOffsetPlane) {
    expect_bits(plane_line(Plane::make(Vec3d::k(), 3.0), Vec3d{1, 2, 0}, Vec3d{1, 2, 1}), 1, 2, 3);
    const Plane p = Plane::from_point(Vec3d::k(), Vec3d{0, 0, 2});
    const Vec3d hit = plane_line(p, Vec3d::zero(), Vec3d::k());
    expect_bits(hit, 0, 0, 2);
    EXPECT_TRUE(contains_point(p, hit));
    const Plane q = Plane::make(Vec3d{1, 1, 0}, 2.0);
    EXPECT_LT(distance_to_point(q, plane_line(q, Vec3d{-1, 0, 5}, Vec3d{4, 1, -2})), 1e-15);
}

TEST(PlaneLine, ParallelAndDegenerateLines) {
    const Vec3d parallel = plane_line(Plane::xy(), Vec3d{0, 0, 1}, Vec3d{1, 0, 1});
    EXPECT_EQ(parallel.x, -Inf);
    EXPECT_TRUE(std::isnan(parallel.y));
    EXPECT_TRUE(std::isnan(parallel.z));
    EXPECT_TRUE(all_nan(plane_line(Plane::xy(), Vec3d::zero(), Vec3d::i())));
    EXPECT_TRUE(all_nan(plane_line(Plane::xy(), Vec3d{0, 0, 1}, Vec3d{0, 0, 1})));
}

struct PointCase {
    Vec3d point;
    std::optional<IntersectionError> outer;  // inner = false
    std::optional<IntersectionError> inner;  // inner = true
};

class UnitCirclePoint : public testing::TestWithParam<PointCase> {};

TEST_P(UnitCirclePoint, Checked) {
    const Circle c = unit_circle(Vec3d::zero());
    EXPECT_EQ(circle_point(c, GetParam().point, false), GetParam().outer);
    EXPECT_EQ(circle_point(c, GetParam().point, true), GetParam().inner);
}

INSTANTIATE_TEST_SUITE_P(
    Intersection, UnitCirclePoint,
    testing::Values(PointCase{Vec3d{0.6, 0.8, 0}, std::nullopt, std::nullopt},
                    PointCase{Vec3d::zero(), IntersectionError::Contained, std::nullopt},
                    PointCase{Vec3d{3, 0, 0}, IntersectionError::TooFarApart, IntersectionError::TooFarApart},
                    PointCase{Vec3d::k(), IntersectionError::OutOfPlane, IntersectionError::OutOfPlane},
                    // out of plane wins over too far apart
                    PointCase{Vec3d{3, 0, 1}, IntersectionError::OutOfPlane, IntersectionError::OutOfPlane}));

TEST(CirclePoint, UncheckedIgnoresThePlane) {
    const Circle c = unit_circle(Vec3d::zero());
    EXPECT_EQ(circle_point_unchecked(c, Vec3d::k(), false), std::nullopt);
    EXPECT_EQ(circle_point_unchecked(c, Vec3d::k(), true), std::nullopt);
    EXPECT_EQ(circle_point_unchecked(c, Vec3d{0, 0, 0.5}, false), IntersectionError::Contained);
    EXPECT_EQ(circle_point_unchecked(c, Vec3d{0, 0, 0.5}, true), std::nullopt);
    EXPECT_EQ(circle_point_unchecked(c, Vec3d{0, 0, 2}, true), IntersectionError::TooFarApart);
}

TEST(CirclePoint, StoredNormalIsRenormalised) {
    const Circle c{Vec3d::zero(), 1.0, Vec3d{0, 0, 5}};
    EXPECT_EQ(circle_point(c, Vec3d{1, 0, 1e-16}, false), std::nullopt);
    EXPECT_EQ(circle_point(c, Vec3d{1, 0, 1e-15}, false), IntersectionError::OutOfPlane);
}

TEST(CirclePoint, GapOfExactlyEpsilonIsTooFarApart) {
    const Circle c{Vec3d::zero(), 1.0 + 0x1p-52, Vec3d::k()};
    EXPECT_EQ(circle_point(c, Vec3d::i(), true), IntersectionError::TooFarApart);
    EXPECT_EQ(circle_point(c, Vec3d::i(), false), IntersectionError::TooFarApart);
    const Circle n{Vec3d::zero(), NaN, Vec3d::k()};
    EXPECT_EQ(circle_point(n, Vec3d::i(), true), IntersectionError::TooFarApart);
}

TEST(CirclePoint, NoneCircle) {
    const Circle c = Circle::none();
    for (const bool inner : {false, true}) {
        EXPECT_EQ(circle_point(c, Vec3d::zero(), inner), IntersectionError::OutOfPlane);
        EXPECT_EQ(circle_point(c, Vec3d::i(), inner), IntersectionError::OutOfPlane);
        EXPECT_EQ(circle_point_unchecked(c, Vec3d::zero(), inner), std::nullopt);
    }
}

TEST(CircleCircle, UnitCircles) {
    const auto [first, second] = points(unit_circle(Vec3d::zero()), unit_circle(Vec3d::i()));
    expect_bits(first, 0.5, -0.8660254037844386, 0);
    expect_bits(second, 0.5, 0.8660254037844386, 0);
}

TEST(CircleCircle, ReversedSecondNormalSwapsThePoints) {
    const auto [first, second] = points(unit_circle(Vec3d::zero()), unit_circle(Vec3d::i(), -Vec3d::k()));
    EXPECT_EQ(first, (Vec3d{0.5, 0.8660254037844386, 0}));
    EXPECT_EQ(bits(first.y), bits(0.8660254037844386));
    EXPECT_EQ(bits(second.y), bits(-0.8660254037844386));
    // the first circle's normal plays no part
    const auto swapped = points(unit_circle(Vec3d::zero(), -Vec3d::k()), unit_circle(Vec3d::i()));
    EXPECT_EQ(bits(swapped.first.y), bits(-0.8660254037844386));
}

TEST(CircleCircle, OffCenterRadiusFive) {
    const auto [first, second] =
        points(Circle::make(Vec3d{1, 2, 3}, 5, Vec3d::k()), Circle::make(Vec3d{4, 6, 3}, 5, Vec3d::k()));
    expect_bits(first, 5.964101615137755, 1.401923788646684, 3);
    expect_bits(second, -0.9641016151377553, 6.598076211353316, 3);
}

TEST(CircleCircle, TangentCirclesGiveOnePointTwice) {
    const auto outside = points(unit_circle(Vec3d::zero()), unit_circle(Vec3d{2, 0, 0}));
    expect_bits(outside.first, 1, 0, 0);
    expect_bits(outside.second, 1, 0, 0);
    const auto inside =
        points(Circle::make(Vec3d::zero(), 3, Vec3d::k()), Circle::make(Vec3d{2, 0, 0}, 1, Vec3d::k()));
    expect_bits(inside.first, 3, 0, 0);
    expect_bits(inside.second, 3, 0, 0);
}

TEST(CircleCircle, TangentRoundingBelowZeroIsClamped) {
    const auto [first, second] = points(Circle::make(Vec3d::zero(), 0.1, Vec3d::k()),
                                        Circle::make(Vec3d{0.30000000000000004, 0, 0}, 0.2, Vec3d::k()));
    EXPECT_TRUE(std::isfinite(first.x) && std::isfinite(first.y) && std::isfinite(first.z));
    expect_bits(second, first.x, first.y, first.z);
    EXPECT_EQ(first, (Vec3d{0.1, 0, 0}));
}

TEST(CircleCircle, OppositeNormalsInOneOffsetPlane) {
    const auto [first, second] = points(unit_circle(Vec3d{0, 0, 1}), unit_circle(Vec3d{1, 0, 1}, -Vec3d::k()));
    expect_bits(first, 0.5, 0.8660254037844386, 1);
    expect_bits(second, 0.5, -0.8660254037844386, 1);
}

struct FailureCase {
    const char* name;
    Circle a, b;
    IntersectionError expected;
};

class CircleCircleFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(CircleCircleFailure, Kind) { EXPECT_EQ(failure(GetParam().a, GetParam().b), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Intersection, CircleCircleFailure,
    testing::Values(
        FailureCase{"Itself", unit_circle(Vec3d{1, 2, 3}), unit_circle(Vec3d{1, 2, 3}), IntersectionError::Identical},
        FailureCase{"ReversedCopy", unit_circle(Vec3d{1, 2, 3}), unit_circle(Vec3d{1, 2, 3}, -Vec3d::k()),
                    IntersectionError::Identical},
        // equal within tolerance yet offsets differ by more than epsilon: identity is tested first
        FailureCase{"IdenticalBeforePlane", unit_circle(Vec3d::zero(), Vec3d{1, 1, 1}),
                    unit_circle(Vec3d{2e-16, 2e-16, 2e-16}, Vec3d{1, 1, 1}), IntersectionError::Identical},
        FailureCase{"Concentric", Circle::make(Vec3d::zero(), 2, Vec3d::k()), unit_circle(Vec3d::zero()),
                    IntersectionError::Contained},
        FailureCase{"FarApart", unit_circle(Vec3d::zero()), unit_circle(Vec3d{3, 0, 0}), IntersectionError::TooFarApart},
        FailureCase{"CrossedNormals", unit_circle(Vec3d::zero()), unit_circle(Vec3d::zero(), Vec3d::j()),
                    IntersectionError::OutOfPlane},
        FailureCase{"PlaneBeforeDistance", unit_circle(Vec3d::zero()), unit_circle(Vec3d{9, 0, 1}),
                    IntersectionError::OutOfPlane},
        FailureCase{"OppositeNormalsMirroredPlanes", unit_circle(Vec3d{0, 0, 1}),
                    unit_circle(Vec3d{1, 0, -1}, -Vec3d::k()), IntersectionError::OutOfPlane},
        // a negative assigned radius satisfies both tests; too far apart comes first
        FailureCase{"DistanceBeforeContainment", Circle{Vec3d::zero(), -5, Vec3d::k()}, unit_circle(Vec3d::i()),
                    IntersectionError::TooFarApart}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CircleCircle, NaNRadiusGivesNaNPoints) {
    const auto [first, second] = points(Circle{Vec3d::zero(), NaN, Vec3d::k()}, unit_circle(Vec3d::i()));
    EXPECT_TRUE(all_nan(first));
    EXPECT_TRUE(all_nan(second));
}
