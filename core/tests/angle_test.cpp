#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "test_support.hpp"
#include "angle.hpp"

using galdrin::AngleDegrees;
using galdrin::AngleRadians;

using namespace test_support;

TEST(AngleRadians, ConstantBitPatterns) {
    EXPECT_EQ(bits(AngleRadians::zero().angle), 0x0000000000000000u);
    EXPECT_EQ(bits(AngleRadians::pi().angle), 0x400921FB54442D18u);
    EXPECT_EQ(bits(AngleRadians::two_pi().angle), 0x401921FB54442D18u);
    EXPECT_EQ(bits(AngleRadians::half_pi().angle), 0x3FF921FB54442D18u);
    EXPECT_EQ(bits(AngleRadians::quarter_pi().angle), 0x3FE921FB54442D18u);
    EXPECT_EQ(bits(AngleRadians::third_pi().angle), 0x3FF0C152382D7365u);
    EXPECT_EQ(bits(AngleRadians::sixth_pi().angle), 0x3FE0C152382D7365u);
}

TEST(AngleRadians, StoresTheDoubleUnchanged) {
    EXPECT_EQ(bits(AngleRadians{-0.0}.angle), bits(-0.0));
    const double payload = std::bit_cast<double>(std::uint64_t{0x7FF8000000000123});
    EXPECT_EQ(bits(AngleRadians{payload}.angle), 0x7FF8000000000123u);
    EXPECT_EQ(bits(AngleDegrees{payload}.angle), 0x7FF8000000000123u);
}

struct DegreesCase {
    AngleRadians radians;
    double degrees;
};

class ToDegrees : public testing::TestWithParam<DegreesCase> {};

TEST_P(ToDegrees, MultipliesThenDivides) {
    EXPECT_EQ(bits(to_degrees(GetParam().radians).angle), bits(GetParam().degrees));
}

INSTANTIATE_TEST_SUITE_P(Angles, ToDegrees,
                         testing::Values(DegreesCase{AngleRadians::pi(), 180.0}, DegreesCase{AngleRadians::half_pi(), 90.0},
                                         DegreesCase{AngleRadians::quarter_pi(), 45.0},
                                         DegreesCase{AngleRadians::two_pi(), 360.0},
                                         DegreesCase{AngleRadians::third_pi(), 59.99999999999999},
                                         DegreesCase{AngleRadians::sixth_pi(), 29.999999999999996},
                                         // a precomputed 180/pi factor gives 5.729577951308233
                                         DegreesCase{AngleRadians{0.1}, 5.729577951308232}));

class ToRadians : public testing::TestWithParam<DegreesCase> {};

TEST_P(ToRadians, MultipliesThenDivides) {
    EXPECT_EQ(bits(to_radians(AngleDegrees{GetParam().degrees}).angle), bits(GetParam().radians.angle));
}

INSTANTIATE_TEST_SUITE_P(Angles, ToRadians,
                         testing::Values(DegreesCase{AngleRadians::pi(), 180.0}, DegreesCase{AngleRadians::half_pi(), 90.0},
                                         DegreesCase{AngleRadians::third_pi(), 60.0},
                                         DegreesCase{AngleRadians::quarter_pi(), 45.0},
                                         DegreesCase{AngleRadians::sixth_pi(), 30.0},
                                         // a precomputed pi/180 factor gives 0.05235987755982989
                                         DegreesCase{AngleRadians{0.05235987755982988}, 3.0},
                                         // not wrapped into one turn
                                         DegreesCase{AngleRadians{12.566370614359172}, 720.0}));

TEST(AngleRadians, Trigonometry) {
    const AngleRadians a{0.7};
    EXPECT_EQ(bits(sin(a)), bits(std::sin(0.7)));
    EXPECT_EQ(bits(cos(a)), bits(std::cos(0.7)));
    EXPECT_EQ(bits(tan(a)), bits(std::tan(0.7)));
    EXPECT_EQ(bits(sec(a)), bits(1.0 / std::cos(0.7)));
    EXPECT_EQ(bits(csc(a)), bits(1.0 / std::sin(0.7)));
    // the reciprocal of tan, not cos / sin
    EXPECT_EQ(bits(cot(a)), bits(1.0 / std::tan(0.7)));
}

TEST(AngleRadians, ReciprocalsOfZeroAreInfinite) {
    EXPECT_EQ(csc(AngleRadians::zero()), Inf);
    EXPECT_EQ(cot(AngleRadians::zero()), Inf);
    EXPECT_EQ(cot(AngleRadians{-0.0}), -Inf);
    EXPECT_EQ(bits(sec(AngleRadians::zero())), bits(1.0));
    const double s = sec(AngleRadians::half_pi());
    EXPECT_TRUE(std::isfinite(s));
    EXPECT_GT(s, 1e15);
    EXPECT_TRUE(std::isnan(sec(AngleRadians{NaN})));
}

TEST(AngleRadians, Arithmetic) {
    EXPECT_EQ(bits((AngleRadians{7.0} + AngleRadians{7.0}).angle), bits(14.0));
    EXPECT_EQ(bits((AngleRadians{1.0} - AngleRadians{3.0}).angle), bits(-2.0));
    EXPECT_EQ(bits((AngleRadians{1.5} * 4.0).angle), bits(6.0));
    EXPECT_EQ(bits((AngleRadians{1.0} / 3.0).angle), bits(1.0 / 3.0));
    EXPECT_EQ((AngleRadians{1.0} / 0.0).angle, Inf);
    EXPECT_TRUE(std::isnan((AngleRadians{0.0} / 0.0).angle));
}

TEST(AngleRadians, NegationFlipsTheSignBit) {
    EXPECT_EQ(bits((-AngleRadians::zero()).angle), bits(-0.0));
    EXPECT_EQ(bits((-AngleRadians{-0.0}).angle), bits(0.0));
    EXPECT_EQ(bits((-AngleRadians{NaN}).angle), bits(NaN) ^ 0x8000000000000000u);
    EXPECT_EQ(bits((-AngleDegrees{0.0}).angle), bits(-0.0));
    EXPECT_EQ(bits((-AngleDegrees{90.0}).angle), bits(-90.0));
    EXPECT_TRUE(-AngleRadians::zero() == AngleRadians::zero());
}

TEST(AngleRadians, ComparisonsAreExactIeee) {
    const AngleRadians a{1.0}, b{1.0 + 0x1p-52}, n{NaN};
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(a <= b);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(b >= a);
    EXPECT_TRUE(AngleRadians{0.0} == AngleRadians{-0.0});
    EXPECT_FALSE(n == n);
    EXPECT_TRUE(n != n);
    EXPECT_FALSE(n < a || n <= a || n > a || n >= a);
    EXPECT_FALSE(a < n || a <= n || a > n || a >= n);
}

TEST(AngleDegrees, ComparisonsAreExactIeee) {
    const AngleDegrees a{90.0}, b{180.0}, n{NaN};
    EXPECT_TRUE(a < b && a <= b && b > a && b >= a && a != b);
    EXPECT_TRUE(AngleDegrees{0.0} == AngleDegrees{-0.0});
    EXPECT_FALSE(n == n);
    EXPECT_FALSE(n < a || n <= a || n > a || n >= a);
}

TEST(AngleRadians, TextForm) {
    EXPECT_EQ(to_string(AngleRadians{1.5}), "1.5 radians");
    EXPECT_EQ(to_string(AngleRadians::zero()), "0 radians");
    EXPECT_EQ(to_string(-AngleRadians::zero()), "-0 radians");
    EXPECT_EQ(to_string(AngleRadians{NaN}), "NaN radians");
    EXPECT_EQ(to_string(AngleRadians::pi()), "3.141592653589793 radians");
    EXPECT_EQ(to_string(AngleRadians{1.5}, 3), "1.500 radians");
}

TEST(AngleDegrees, TextForm) {
    EXPECT_EQ(to_string(AngleDegrees{90.0}), "90\xC2\xB0");
    EXPECT_EQ(to_string(AngleDegrees{-0.5}), "-0.5\xC2\xB0");
    EXPECT_EQ(to_string(AngleDegrees{NaN}), "NaN\xC2\xB0");
    EXPECT_EQ(to_string(AngleDegrees{90.0}, 2), "90.00\xC2\xB0");
}
