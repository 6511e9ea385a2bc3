// Quaternions in the common exchange convention, whose vector part is
// +sin(angle/2) * axis: the conjugate of the stored form. Each conversion
// only negates the vector part, so it is exact both ways.
#pragma once

#include <array>

#include "quat.hpp"

namespace galdrin {

constexpr Quat from_xyzw(double x, double y, double z, double w) { return {w, -x, -y, -z}; }
constexpr Quat from_wxyz(double w, double x, double y, double z) { return {w, -x, -y, -z}; }

constexpr std::array<double, 4> to_xyzw(const Quat& q) { return {-q.i, -q.j, -q.k, q.w}; }
constexpr std::array<double, 4> to_wxyz(const Quat& q) { return {q.w, -q.i, -q.j, -q.k}; }

}  // namespace galdrin
