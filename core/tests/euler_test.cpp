#include <gtest/gtest.h>

#include <cmath>
#include <string_view>

#include "euler.hpp"
#include "test_support.hpp"

using galdrin::EulerSequence;
using galdrin::Quat;

using namespace test_support;

namespace {

EulerSequence seq(std::string_view text) { return *galdrin::parse_euler_sequence(text); }

constexpr std::string_view SEQUENCES[] = {"xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx",
                                          "yxy", "yzy", "zxz", "zyz", "XYZ", "XZY", "YXZ", "YZX",
                                          "ZXY", "ZYX", "XYX", "XZX", "YXY", "YZY", "ZXZ", "ZYZ"};

}  // namespace

TEST(Euler, ParsesTheTwelveSequencesBothWays) {
    for (std::string_view text : SEQUENCES) EXPECT_TRUE(galdrin::parse_euler_sequence(text)) << text;
    for (std::string_view text : {"", "xy", "xyzx", "xxy", "xyy", "xYz", "Xyz", "abc", "xyw", "XXY"})
        EXPECT_FALSE(galdrin::parse_euler_sequence(text)) << text;
    const EulerSequence s = seq("ZYX");
    EXPECT_TRUE(s.intrinsic);
    EXPECT_EQ(s.axes[0], 2);
    EXPECT_EQ(s.axes[2], 0);
}

TEST(Euler, ComposesAxisRotationsInOrder) {
    const Quat a = galdrin::axis_rotation(0, 0.3), b = galdrin::axis_rotation(1, -1.1), c = galdrin::axis_rotation(2, 2.0);
    const Quat ext = galdrin::from_euler(seq("xyz"), {0.3, -1.1, 2.0});
    const Quat want = (a * b) * c;
    EXPECT_EQ(bits(ext.w), bits(want.w));
    EXPECT_EQ(bits(ext.k), bits(want.k));
    const Quat in = galdrin::from_euler(seq("ZYX"), {2.0, -1.1, 0.3});
    EXPECT_EQ(bits(in.w), bits(want.w));
    EXPECT_EQ(bits(in.i), bits(want.i));
}

TEST(Euler, RoundTripsAwayFromGimbalLock) {
    for (std::string_view text : SEQUENCES) {
        const EulerSequence s = seq(text);
        const bool proper = s.axes[0] == s.axes[2];
        const std::array<double, 3> angles{0.4, proper ? 1.2 : -0.6, -2.5};
        const galdrin::EulerAngles r = galdrin::to_euler(s, galdrin::from_euler(s, angles));
        EXPECT_FALSE(r.gimbal_lock) << text;
        for (int n = 0; n < 3; ++n) EXPECT_NEAR(r.angles[n], angles[n], 1e-14) << text;
    }
}

TEST(Euler, GimbalLockSetsTheLastAngleToZero) {
    for (std::string_view text : SEQUENCES) {
        const EulerSequence s = seq(text);
        const bool proper = s.axes[0] == s.axes[2];
        const double middle = proper ? 0.0 : M_PI / 2;
        const galdrin::EulerAngles r = galdrin::to_euler(s, galdrin::from_euler(s, {0.4, middle, -0.5}));
        EXPECT_TRUE(r.gimbal_lock) << text;
        EXPECT_EQ(bits(r.angles[2]), bits(0.0)) << text;
        // the same rotation with the last angle folded into the first
        const Quat q = galdrin::from_euler(s, {0.4, middle, -0.5});
        const Quat p = galdrin::from_euler(s, r.angles);
        EXPECT_NEAR(std::fabs(dot(q, p)), 1.0, 1e-14) << text;
    }
}

TEST(Euler, ZeroAndNaNQuaternions) {
    const galdrin::EulerAngles z = galdrin::to_euler(seq("xyz"), Quat{0, 0, 0, 0});
    EXPECT_TRUE(std::isnan(z.angles[0]) && std::isnan(z.angles[1]) && std::isnan(z.angles[2]));
    EXPECT_FALSE(z.gimbal_lock);
    const galdrin::EulerAngles n = galdrin::to_euler(seq("ZXZ"), Quat{NaN, 0, 0, 0});
    EXPECT_TRUE(std::isnan(n.angles[1]));
    EXPECT_FALSE(n.gimbal_lock);
}
