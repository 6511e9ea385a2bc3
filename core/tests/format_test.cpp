#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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

// The digits are those of the C++ library's shortest round-trip text, on doubles of every
// kind: random bit patterns, powers of two (lopsided intervals), subnormals and short decimals.
TEST(Format, SameDigitsAsLibraryShortest) {
    auto expected = [](double v) {
        char sci[40];
        const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
        std::string digits;
        const char* c = sci;
        for (; c < res.ptr && *c != 'e'; ++c)
            if (*c != '.') digits += *c;
        return digits + " " + std::string(c, static_cast<const char*>(res.ptr));
    };
    auto actual = [](double v) {
        // Back to d...de±XX from the positional text.
        const std::string text = format_double(v);
        std::string digits;
        int point = -1, first = -1, i = 0;
        for (char c : text) {
            if (c == '.') {
                point = i;
                continue;
            }
            if (first < 0 && c != '0') first = i;
            if (first >= 0) digits += c;
            ++i;
        }
        if (point < 0) point = i;
        while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
        const int exponent = point - first - 1;
        char e[8];
        std::snprintf(e, sizeof e, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        return digits + " " + e;
    };
    std::vector<double> values;
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const double v = std::bit_cast<double>(random() & 0x7fffffffffffffffULL);
        if (std::isfinite(v) && v != 0) values.push_back(v);
    }
    for (int e = -1074; e <= 1023; ++e) {
        values.push_back(std::ldexp(1.0, e));
        values.push_back(std::nextafter(std::ldexp(1.0, e), 0.0));
        values.push_back(std::nextafter(std::ldexp(1.0, e), INFINITY));
    }
    for (int i = 0; i < 20000; ++i) {
        values.push_back(std::bit_cast<double>(random() & 0x000fffffffffffffULL) + 0.0);
        values.push_back(static_cast<double>(random() % 1000000) / 1000.0);
        values.push_back(static_cast<double>(static_cast<float>(std::bit_cast<double>(random() & 0x3fffffffffffffffULL))));
    }
    int failures = 0;
    for (double v : values) {
        if (v == 0 || !std::isfinite(v)) continue;
        if (expected(v) != actual(v) && ++failures < 10) ADD_FAILURE() << std::hexfloat << v << ": " << actual(v) << " != " << expected(v);
    }
    EXPECT_EQ(failures, 0);
}

TEST(Format, FixedAnyLocaleAndRounding) {
    EXPECT_EQ(galdrin::format_fixed(2.5, 0), "2");
    EXPECT_EQ(galdrin::format_fixed(0.125, 2), "0.12");
    EXPECT_EQ(galdrin::format_fixed(-0.0, 1), "-0.0");
    EXPECT_EQ(galdrin::format_fixed(1e300, 1).size(), 303u);
}
