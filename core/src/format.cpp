#include "format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace galdrin {

namespace {

char* put(char* out, const char* text, std::size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

char* zeros(char* out, int n) {
    if (n > 0) std::memset(out, '0', static_cast<std::size_t>(n));
    return out + (n > 0 ? n : 0);
}

}  // namespace

std::size_t format_double(double v, char* const out) {
    char* p = out;
    if (std::isnan(v)) return static_cast<std::size_t>(put(p, "NaN", 3) - out);
    if (std::signbit(v)) *p++ = '-';
    const double a = std::fabs(v);
    if (std::isinf(a)) return static_cast<std::size_t>(put(p, "inf", 3) - out);
    if (a == 0.0) {
        *p++ = '0';
        return static_cast<std::size_t>(p - out);
    }

    // Shortest round-trip digits as d[.ddd]e±XX, then re-laid out.
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(sci, 'e', static_cast<std::size_t>(res.ptr - sci)));
    char digits[24];
    int n = 0;
    for (const char* c = sci; c < e; ++c)
        if (*c != '.') digits[n++] = *c;
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), res.ptr, exponent);

    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        p = put(p, "0.", 2);
        p = zeros(p, -point);
        p = put(p, digits, static_cast<std::size_t>(n));
    } else if (point >= n) {
        p = put(p, digits, static_cast<std::size_t>(n));
        p = zeros(p, point - n);
    } else {
        p = put(p, digits, static_cast<std::size_t>(point));
        *p++ = '.';
        p = put(p, digits + point, static_cast<std::size_t>(n - point));
    }
    return static_cast<std::size_t>(p - out);
}

std::string format_double(double v) {
    char buf[FORMAT_BUFFER_SIZE];
    return {buf, format_double(v, buf)};
}

std::string format_fixed(double v, int precision) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    std::string out(FORMAT_BUFFER_SIZE + static_cast<std::size_t>(precision), '\0');
    const auto res = std::to_chars(out.data(), out.data() + out.size(), v, std::chars_format::fixed, precision);
    out.resize(static_cast<std::size_t>(res.ptr - out.data()));
    return out;
}

}  // namespace galdrin
