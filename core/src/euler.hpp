// Euler angles: three rotations about coordinate axes. A sequence names the
// axes in the order the angles are given: lowercase letters are extrinsic
// (about the fixed axes, the first applied first), uppercase intrinsic (about
// the axes as they have turned, so "XYZ" is the extrinsic "zyx" with the
// angles reversed).
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "quat.hpp"

namespace galdrin {

struct EulerSequence {
    std::array<int, 3> axes;  // 0, 1, 2 for x, y, z, in the order the angles are given
    bool intrinsic;
};

// Three of "xyz" or three of "XYZ", consecutive axes different; nothing else.
constexpr std::optional<EulerSequence> parse_euler_sequence(std::string_view text) {
    if (text.size() != 3) return std::nullopt;
    const bool upper = text[0] >= 'X' && text[0] <= 'Z';
    EulerSequence seq{{}, upper};
    const char first = upper ? 'X' : 'x';
    for (std::size_t n = 0; n < 3; ++n) {
        const int axis = text[n] - first;
        if (axis < 0 || axis > 2) return std::nullopt;
        if (n > 0 && axis == seq.axes[n - 1]) return std::nullopt;
        seq.axes[n] = axis;
    }
    return seq;
}

// The stored quaternion of the rotation by angle about coordinate axis a:
// (cos(angle/2), -sin(angle/2) on axis a, +0 elsewhere).
inline Quat axis_rotation(int a, double angle) {
    const double h = angle * 0.5;
    const double s = -std::sin(h);
    return {std::cos(h), a == 0 ? s : 0.0, a == 1 ? s : 0.0, a == 2 ? s : 0.0};
}

// Extrinsic a, b, c with angles t1, t2, t3: then(then(A(t1), B(t2)), C(t3));
// intrinsic: then(then(C(t3), B(t2)), A(t1)). A, B, C are axis_rotation of
// the three axes; then is the Hamilton product.
// Out of line, so that every caller runs the same code (and NaNs that meet
// come out alike).
Quat from_euler(const EulerSequence& seq, const std::array<double, 3>& angles);

struct EulerAngles {
    std::array<double, 3> angles;
    bool gimbal_lock;
};

inline constexpr double PI = 3.141592653589793;
inline constexpr double GIMBAL_LOCK_MARGIN = 1e-7;

// x - 2 pi above pi, x + 2 pi below -pi, else x.
inline double wrap_angle(double x) {
    if (x > PI) return x - 2 * PI;
    if (x < -PI) return x + 2 * PI;
    return x;
}

// The angles of q in the sequence, straight from the quaternion. With
// (w, x1, x2, x3) the exchange form of q (the vector part negated) and the
// extrinsic axes i, j, k (an intrinsic sequence is taken reversed, and its
// angles reversed at the end), e the sign of the permutation (i, j, m), m the
// axis that is neither i nor j:
//   proper (i == k):  a = w, b = xi, c = xj, d = e * xm;
//   otherwise:        a = w - xj, b = xi + e * xk, c = xj + w, d = e * xk - xi,
//                     which turns q by a quarter turn about j into the proper
//                     sequence i, j, i;
//   middle = 2 * atan2(|(c, d)|, |(a, b)|), in [0, pi], of a, b, c, d scaled by one power of two;
//   p = atan2(b, a), n = atan2(d, c); first = p - n, third = p + n.
// The middle angle within 1e-7 of 0 or pi is gimbal lock: the angle the
// caller gives last is set to 0 and the other is 2p (middle near 0) or the
// matching multiple of n (near pi). First and third are brought into
// [-pi, pi] by one turn at most; for a sequence of three different axes the
// middle angle is middle - pi/2, in [-pi/2, pi/2], and the third is
// multiplied by e (but for the zero set at gimbal lock, which stays +0). The
// zero quaternion gives NaN angles.
EulerAngles to_euler(const EulerSequence& seq, const Quat& q);

}  // namespace galdrin
