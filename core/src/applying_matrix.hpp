// The rotation matrix in the applying convention: M with M * v = rotate(q, v),
// the transpose of to_rotation_matrix(q).
#pragma once

#include <array>

#include "quat.hpp"

namespace galdrin {

using Matrix3 = std::array<std::array<double, 3>, 3>;

constexpr Matrix3 transpose(const Matrix3& m) {
    return {{{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]}, {m[0][2], m[1][2], m[2][2]}}};
}

// transpose(to_rotation_matrix(q)), entry for entry; it is also
// to_rotation_matrix(conjugate(q)) bit for bit.
constexpr Matrix3 to_applying_matrix(const Quat& q) { return transpose(to_rotation_matrix(q)); }

// from_rotation_matrix(transpose(m)): the quaternion whose rotate applies m.
inline Quat from_applying_matrix(const Matrix3& m) { return from_rotation_matrix(transpose(m)); }

}  // namespace galdrin
