#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "format.hpp"

using galdrin::format_double;

TEST(Format, ShortestPositional) {
    EXPECT_EQ(format_double(1.0), "1");
    EXPECT_EQ(format_double(-0.0), "-0");
    EXPECT_EQ(format_double(0.1), "0.1");
    EXPECT_EQ(format_double(2.5), "2.5");
    EXPECT_EQ(format_double(1e21), "1" + std::string(21, '0'));
    EXPECT_EQ(format_double(1e-7), "0.0000001");
    EXPECT_EQ(format_double(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(format_double(123456789.125), "123456789.125");
    EXPECT_EQ(format_double(-INFINITY), "-inf");
    EXPECT_EQ(format_double(INFINITY), "inf");
    EXPECT_EQ(format_double(-NAN), "NaN");
}

TEST(Format, Extremes) {
    EXPECT_EQ(format_double(5e-324), "0." + std::string(323, '0') + "5");
    const std::string max = format_double(-1.7976931348623157e308);
    EXPECT_EQ(max.size(), 310u);
    EXPECT_EQ(max.substr(0, 18), "-17976931348623157");
}

TEST(Format, Fixed) {
    EXPECT_EQ(galdrin::format_fixed(1.5, 3), "1.500");
    EXPECT_EQ(galdrin::format_fixed(NAN, 2), "NaN");
}
