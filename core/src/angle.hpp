// Plane angles in radians and degrees. Values are never wrapped or
// normalised; comparisons are exact IEEE comparisons.
#pragma once

#include <cmath>
#include <compare>
#include <string>

#include "format.hpp"

namespace galdrin {

struct AngleDegrees;

struct AngleRadians {
    double angle;

    static constexpr AngleRadians zero() { return {0.0}; }
    static constexpr AngleRadians pi() { return {3.141592653589793}; }
    static constexpr AngleRadians two_pi() { return {6.283185307179586}; }
    static constexpr AngleRadians half_pi() { return {1.5707963267948966}; }
    static constexpr AngleRadians quarter_pi() { return {0.7853981633974483}; }
    // pi / 3 and pi / 6 rounded from the double pi, one ulp off the nearest doubles.
    static constexpr AngleRadians third_pi() { return {3.141592653589793 / 3.0}; }
    static constexpr AngleRadians sixth_pi() { return {3.141592653589793 / 6.0}; }

    friend constexpr bool operator==(AngleRadians, AngleRadians) = default;
    friend constexpr std::partial_ordering operator<=>(AngleRadians, AngleRadians) = default;
};

struct AngleDegrees {
    double angle;

    friend constexpr bool operator==(AngleDegrees, AngleDegrees) = default;
    friend constexpr std::partial_ordering operator<=>(AngleDegrees, AngleDegrees) = default;
};

inline double sin(AngleRadians a) { return std::sin(a.angle); }
inline double cos(AngleRadians a) { return std::cos(a.angle); }
inline double tan(AngleRadians a) { return std::tan(a.angle); }
inline double sec(AngleRadians a) { return 1.0 / std::cos(a.angle); }
inline double csc(AngleRadians a) { return 1.0 / std::sin(a.angle); }
inline double cot(AngleRadians a) { return 1.0 / std::tan(a.angle); }

// Multiply first, divide second: a precomputed 180/pi factor rounds differently.
constexpr AngleDegrees to_degrees(AngleRadians a) { return {(a.angle * 180.0) / 3.141592653589793}; }
constexpr AngleRadians to_radians(AngleDegrees d) { return {(d.angle * 3.141592653589793) / 180.0}; }

constexpr AngleRadians operator+(AngleRadians a, AngleRadians b) { return {a.angle + b.angle}; }
constexpr AngleRadians operator-(AngleRadians a, AngleRadians b) { return {a.angle - b.angle}; }
constexpr AngleRadians operator*(AngleRadians a, double s) { return {a.angle * s}; }
constexpr AngleRadians operator/(AngleRadians a, double s) { return {a.angle / s}; }
constexpr AngleRadians operator-(AngleRadians a) { return {-a.angle}; }
constexpr AngleDegrees operator-(AngleDegrees d) { return {-d.angle}; }

inline std::string to_string(AngleRadians a) { return format_double(a.angle) + " radians"; }
inline std::string to_string(AngleRadians a, int precision) { return format_fixed(a.angle, precision) + " radians"; }
inline std::string to_string(AngleDegrees d) { return format_double(d.angle) + "\u00b0"; }
inline std::string to_string(AngleDegrees d, int precision) { return format_fixed(d.angle, precision) + "\u00b0"; }

}  // namespace galdrin
