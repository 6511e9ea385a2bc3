#include "euler.hpp"

namespace galdrin {

Quat from_euler(const EulerSequence& seq, const std::array<double, 3>& angles) {
    const Quat a = axis_rotation(seq.axes[0], angles[0]);
    const Quat b = axis_rotation(seq.axes[1], angles[1]);
    const Quat c = axis_rotation(seq.axes[2], angles[2]);
    return seq.intrinsic ? (c * b) * a : (a * b) * c;
}

EulerAngles to_euler(const EulerSequence& seq, const Quat& q) {
    const std::array<int, 3> ax = seq.intrinsic ? std::array{seq.axes[2], seq.axes[1], seq.axes[0]} : seq.axes;
    const int i = ax[0], j = ax[1];
    const bool proper = ax[0] == ax[2];
    const int m = 3 - i - j;
    const double e = (j - i + 3) % 3 == 1 ? 1.0 : -1.0;  // (i, j, m) cyclic
    const double w = q.w;
    const std::array<double, 3> x{-q.i, -q.j, -q.k};
    double a, b, c, d;
    if (proper) {
        a = w, b = x[i], c = x[j], d = e * x[m];
    } else {
        a = w - x[j], b = x[i] + e * x[m], c = x[j] + w, d = e * x[m] - x[i];
    }
    // |(a, b)| and |(c, d)| of the pairs scaled by one power of two, so that the
    // squares neither overflow nor underflow: exact, and atan2 needs only their ratio.
    // (Not hypot: its newer symbol would raise the wheels' glibc requirement.)
    const auto [sa, sb, sc, sd] = scaled_to_unit_binade(a, b, c, d);
    const double n1 = std::sqrt(sa * sa + sb * sb), n2 = std::sqrt(sc * sc + sd * sd);
    if (n1 == 0.0 && n2 == 0.0) return {{NAN, NAN, NAN}, false};
    const double h = std::atan2(n2, n1);
    const double middle = h + h;
    const double p = std::atan2(b, a);
    const double n = std::atan2(d, c);
    const bool near_zero = std::fabs(middle) <= GIMBAL_LOCK_MARGIN;
    const bool near_pi = std::fabs(middle - PI) <= GIMBAL_LOCK_MARGIN;
    double first, third;
    if (!near_zero && !near_pi) {
        first = wrap_angle(p - n);
        third = wrap_angle(p + n);
    } else if (seq.intrinsic) {
        // The caller's last angle is the extrinsic first.
        first = 0.0;
        third = wrap_angle(near_zero ? p + p : n + n);
    } else {
        third = 0.0;
        first = wrap_angle(near_zero ? p + p : -(n + n));
    }
    const bool locked = near_zero || near_pi;
    const bool signed_third = !proper && !(locked && !seq.intrinsic);  // the zero set at lock stays +0
    std::array<double, 3> angles{first, proper ? middle : middle - PI / 2, signed_third ? e * third : third};
    if (seq.intrinsic) angles = {angles[2], angles[1], angles[0]};
    return {angles, locked};
}

}  // namespace galdrin
