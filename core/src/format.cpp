#include "format.hpp"

#include <locale.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// The C library's number text and parsing under the "C" locale on this thread, whatever
// the process locale's decimal point.
class CLocale {
public:
    CLocale() : previous_(uselocale(c_locale())) {}
    ~CLocale() { uselocale(previous_); }
    CLocale(const CLocale&) = delete;
    CLocale& operator=(const CLocale&) = delete;

private:
    static locale_t c_locale() {
        static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
        return c;
    }
    locale_t previous_;
};

// A finite positive double as n significant digits and the exponent of the first one.
struct Decimal {
    char digits[20];
    int n;
    int exponent;
};

// The n-digit decimal nearest to a (ties to even on the exact value), 1 <= n <= 17.
Decimal nearest(double a, int n) {
    char sci[40];
    std::snprintf(sci, sizeof sci, "%.*e", n - 1, a);
    Decimal d{};
    const char* c = sci;
    for (; *c != 'e'; ++c)
        if (*c >= '0' && *c <= '9') d.digits[d.n++] = *c;
    d.exponent = std::atoi(c + 1);
    return d;
}

// Whether the decimal reads back as a.
bool reads_back(const Decimal& d, double a) {
    char text[40];
    std::memcpy(text, d.digits, static_cast<std::size_t>(d.n));
    char* p = text + d.n;
    int e = d.exponent - d.n + 1;
    *p++ = 'e';
    if (e < 0) {
        *p++ = '-';
        e = -e;
    }
    char reversed[8];
    int k = 0;
    do {
        reversed[k++] = static_cast<char>('0' + e % 10);
        e /= 10;
    } while (e > 0);
    while (k > 0) *p++ = reversed[--k];
    *p = '\0';
    return std::strtod(text, nullptr) == a;
}

// d rounded to n < d.n digits when its dropped digits decide the rounding of the exact value
// they were rounded from: false when they read exactly half a unit.
bool shorten(const Decimal& d, int n, Decimal& out) {
    const char* rest = d.digits + n;
    const int kept = d.n - n;
    bool half = rest[0] == '5';
    for (int i = 1; i < kept && half; ++i) half = rest[i] == '0';
    if (half) return false;
    out = d;
    out.n = n;
    if (rest[0] >= '5') {
        int i = n - 1;
        while (i >= 0 && out.digits[i] == '9') out.digits[i--] = '0';
        if (i >= 0) {
            ++out.digits[i];
        } else {
            out.digits[0] = '1';
            ++out.exponent;
        }
    }
    return true;
}

// The decimal one unit of the last digit above d, unless that carries into a new digit.
bool next_up(const Decimal& d, Decimal& out) {
    out = d;
    int i = out.n - 1;
    while (i >= 0 && out.digits[i] == '9') out.digits[i--] = '0';
    if (i < 0) return false;
    ++out.digits[i];
    return true;
}

void strip_zeros(Decimal& d) {
    while (d.n > 1 && d.digits[d.n - 1] == '0') --d.n;
}

// The fewest significant digits that read back as a, and of those the nearest to a, from
// the C library's exact digits.
//
// For a normal double the 1-ulp interval that reads back holds at most one 15-digit decimal,
// so the nearest 15 digits stripped of trailing zeros are the shortest whenever any decimal
// of 15 or fewer digits reads back. Otherwise the nearest 16 digits, or else 17, which always
// read back. Only at a power of two is the interval lopsided (a quarter ulp below, half
// above), so that the nearest 16 digits can miss below while the next ones up read back.
// The 15 and 16 digit roundings come from the 17 digits unless those end in an exact half.
// Subnormals have wider intervals and are searched from one digit up.
Decimal shortest_exact(double a) {
    if (a < 0x1p-1022) {
        for (int n = 1;; ++n) {
            Decimal d = nearest(a, n);
            if (n == 17 || reads_back(d, a)) {
                strip_zeros(d);
                return d;
            }
        }
    }
    const Decimal d17 = nearest(a, 17);
    Decimal d;
    if (!shorten(d17, 15, d)) d = nearest(a, 15);
    if (reads_back(d, a)) {
        strip_zeros(d);
        return d;
    }
    if (!shorten(d17, 16, d)) d = nearest(a, 16);
    if (reads_back(d, a)) return d;
    int exponent;
    Decimal up;
    if (std::frexp(a, &exponent) == 0.5 && next_up(d, up) && reads_back(up, a)) return up;
    Decimal out = d17;
    strip_zeros(out);
    return out;
}

// 10^k for |k| <= 350 in extended precision, within an ulp.
long double power_of_ten(int k) {
    static constexpr int kLow = -350, kHigh = 350;
    static const auto table = [] {
        std::array<long double, kHigh - kLow + 1> t{};
        for (int i = kLow; i <= kHigh; ++i) t[static_cast<std::size_t>(i - kLow)] = powl(10.0L, i);
        return t;
    }();
    return table[static_cast<std::size_t>(k - kLow)];
}

// The n-digit decimal nearest to a, first digit at 10^exponent, from an extended-precision
// product whose error stays below a hundredth of a unit in the last digit; false when that
// leaves the rounding in doubt or the exponent is not a's.
bool nearest_estimate(double a, int n, int exponent, Decimal& out) {
    const long double scaled = static_cast<long double>(a) * power_of_ten(n - 1 - exponent);
    const long double whole = floorl(scaled);
    const long double fraction = scaled - whole;
    if (fraction > 0.48L && fraction < 0.52L) return false;
    auto digits = static_cast<std::uint64_t>(whole) + (fraction >= 0.5L ? 1 : 0);
    out.exponent = exponent;
    std::uint64_t top = 1;
    for (int i = 1; i < n; ++i) top *= 10;
    if (digits < top) return false;  // the exponent guess was one too high
    if (digits >= top * 10) {
        if (digits != top * 10) return false;  // one too low
        digits = top;
        ++out.exponent;
    }
    out.n = n;
    for (int i = n - 1; i >= 0; --i, digits /= 10) out.digits[i] = static_cast<char>('0' + digits % 10);
    return true;
}

// reads_back, decided from an extended-precision value of the decimal wherever that lies
// clearly inside or outside the interval of reals that round to a.
bool reads_back_estimate(const Decimal& d, double a) {
    const double below = std::nextafter(a, 0.0), above = std::nextafter(a, INFINITY);
    if (!std::isfinite(above)) return reads_back(d, a);
    std::uint64_t digits = 0;
    for (int i = 0; i < d.n; ++i) digits = digits * 10 + static_cast<std::uint64_t>(d.digits[i] - '0');
    const long double value = static_cast<long double>(digits) * power_of_ten(d.exponent - d.n + 1);
    const long double low = (static_cast<long double>(a) + below) / 2, high = (static_cast<long double>(a) + above) / 2;
    const long double margin = static_cast<long double>(a) * 1e-18L;
    if (value > low + margin && value < high - margin) return true;
    if (value < low - margin || value > high + margin) return false;
    return reads_back(d, a);
}

// As shortest_exact, with the 15, 16 and 17 digit candidates estimated instead of printed
// whenever the estimate decides their rounding; every candidate is still read back.
Decimal shortest(double a) {
    const CLocale c_locale;
    if (a >= 0x1p-1022) {
        const int guess = static_cast<int>(std::floor(std::log10(a)));
        Decimal d15, d16, d17;
        if (nearest_estimate(a, 17, guess, d17) || nearest_estimate(a, 17, guess - 1, d17) ||
            nearest_estimate(a, 17, guess + 1, d17)) {
            const int exponent = d17.exponent;
            if (nearest_estimate(a, 15, exponent, d15) && nearest_estimate(a, 16, exponent, d16)) {
                if (reads_back_estimate(d15, a)) {
                    strip_zeros(d15);
                    return d15;
                }
                if (reads_back_estimate(d16, a)) return d16;
                int binary_exponent;
                Decimal up;
                if (std::frexp(a, &binary_exponent) == 0.5 && next_up(d16, up) && reads_back_estimate(up, a)) return up;
                if (reads_back_estimate(d17, a)) {
                    strip_zeros(d17);
                    return d17;
                }
            }
        }
    }
    return shortest_exact(a);
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

    const Decimal d = shortest(a);
    const int n = d.n;
    const int point = d.exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        p = put(p, "0.", 2);
        p = zeros(p, -point);
        p = put(p, d.digits, static_cast<std::size_t>(n));
    } else if (point >= n) {
        p = put(p, d.digits, static_cast<std::size_t>(n));
        p = zeros(p, point - n);
    } else {
        p = put(p, d.digits, static_cast<std::size_t>(point));
        *p++ = '.';
        p = put(p, d.digits + point, static_cast<std::size_t>(n - point));
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
    const CLocale c_locale;
    const int n = std::snprintf(out.data(), out.size(), "%.*f", precision, v);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace galdrin
