// Bit-exact expectations shared by the core tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "quat.hpp"
#include "vec3d.hpp"

namespace test_support {

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

inline constexpr double Inf = std::numeric_limits<double>::infinity();
inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

inline void expect_bits(const galdrin::Vec3d& v, double x, double y, double z) {
    EXPECT_EQ(bits(v.x), bits(x));
    EXPECT_EQ(bits(v.y), bits(y));
    EXPECT_EQ(bits(v.z), bits(z));
}

inline void expect_bits(const galdrin::Quat& q, double w, double i, double j, double k) {
    EXPECT_EQ(bits(q.w), bits(w));
    EXPECT_EQ(bits(q.i), bits(i));
    EXPECT_EQ(bits(q.j), bits(j));
    EXPECT_EQ(bits(q.k), bits(k));
}

inline bool all_nan(const galdrin::Vec3d& v) { return std::isnan(v.x) && std::isnan(v.y) && std::isnan(v.z); }

}  // namespace test_support
