// 3x3 double-precision matrix, stored row by row: the matrix M that maps v
// to M * v. Every formula is evaluated in the order written; the build
// forbids contraction into fused multiply-adds.
#pragma once

#include <array>

#include "quat.hpp"
#include "symmetric_eigen.hpp"
#include "vec3d.hpp"

namespace galdrin {

struct Mat3 {
    std::array<Vec3d, 3> rows;

    static constexpr Mat3 identity() { return {{Vec3d::i(), Vec3d::j(), Vec3d::k()}}; }
};

constexpr Mat3 from_rows(const Vec3d& a, const Vec3d& b, const Vec3d& c) { return {{a, b, c}}; }

constexpr Mat3 from_columns(const Vec3d& a, const Vec3d& b, const Vec3d& c) {
    return {{Vec3d{a.x, b.x, c.x}, Vec3d{a.y, b.y, c.y}, Vec3d{a.z, b.z, c.z}}};
}

constexpr Mat3 diagonal(const Vec3d& d) { return {{Vec3d{d.x, 0.0, 0.0}, Vec3d{0.0, d.y, 0.0}, Vec3d{0.0, 0.0, d.z}}}; }

constexpr Mat3 from_entries(const std::array<std::array<double, 3>, 3>& m) {
    return {{Vec3d{m[0][0], m[0][1], m[0][2]}, Vec3d{m[1][0], m[1][1], m[1][2]}, Vec3d{m[2][0], m[2][1], m[2][2]}}};
}

constexpr std::array<std::array<double, 3>, 3> entries(const Mat3& m) {
    return {{to_array(m.rows[0]), to_array(m.rows[1]), to_array(m.rows[2])}};
}

constexpr Vec3d column(const Mat3& m, int c) {
    const auto pick = [c](const Vec3d& r) { return c == 0 ? r.x : c == 1 ? r.y : r.z; };
    return {pick(m.rows[0]), pick(m.rows[1]), pick(m.rows[2])};
}

constexpr Mat3 transpose(const Mat3& m) { return from_rows(column(m, 0), column(m, 1), column(m, 2)); }

// Entry by entry.
constexpr Mat3 operator+(const Mat3& a, const Mat3& b) {
    return {{a.rows[0] + b.rows[0], a.rows[1] + b.rows[1], a.rows[2] + b.rows[2]}};
}
constexpr Mat3 operator-(const Mat3& a, const Mat3& b) {
    return {{a.rows[0] - b.rows[0], a.rows[1] - b.rows[1], a.rows[2] - b.rows[2]}};
}
constexpr Mat3 operator-(const Mat3& a) { return {{-a.rows[0], -a.rows[1], -a.rows[2]}}; }
constexpr Mat3 operator*(const Mat3& a, double s) { return {{a.rows[0] * s, a.rows[1] * s, a.rows[2] * s}}; }
constexpr Mat3 operator*(double s, const Mat3& a) { return a * s; }
constexpr Mat3 operator/(const Mat3& a, double s) { return {{a.rows[0] / s, a.rows[1] / s, a.rows[2] / s}}; }

// Component i is dot(row i, v): (r.x * v.x + r.y * v.y) + r.z * v.z.
constexpr Vec3d operator*(const Mat3& m, const Vec3d& v) {
    return {dot(m.rows[0], v), dot(m.rows[1], v), dot(m.rows[2], v)};
}

// Entry (i, j) is dot(row i of a, column j of b), in dot's order.
constexpr Mat3 operator*(const Mat3& a, const Mat3& b) {
    const Vec3d c0 = column(b, 0), c1 = column(b, 1), c2 = column(b, 2);
    const auto row = [&](const Vec3d& r) { return Vec3d{dot(r, c0), dot(r, c1), dot(r, c2)}; };
    return {{row(a.rows[0]), row(a.rows[1]), row(a.rows[2])}};
}

// Exact equality of every entry: -0 equals +0, a NaN equals nothing.
constexpr bool operator==(const Mat3& a, const Mat3& b) {
    for (int r = 0; r < 3; ++r)
        if (!(a.rows[r].x == b.rows[r].x && a.rows[r].y == b.rows[r].y && a.rows[r].z == b.rows[r].z)) return false;
    return true;
}

// (m00 + m11) + m22.
constexpr double trace(const Mat3& m) { return (m.rows[0].x + m.rows[1].y) + m.rows[2].z; }

// The scalar triple product of the rows: n = cross(row 1, row 2), then
// (n.x * m00 + n.y * m01) + n.z * m02.
constexpr double det(const Mat3& m) { return scalar_triple_product(m.rows[0], m.rows[1], m.rows[2]); }

// The adjugate divided by the determinant, entry by entry: the columns of the
// adjugate are cross(row 1, row 2), cross(row 2, row 0) and cross(row 0, row 1),
// and the determinant is dot(cross(row 1, row 2), row 0), the bits of det(m). A zero
// determinant gives infinities and NaNs; callers that refuse a singular
// matrix test det(m) == 0 first.
constexpr Mat3 inverse(const Mat3& m) {
    const Vec3d a = cross(m.rows[1], m.rows[2]);
    const Vec3d b = cross(m.rows[2], m.rows[0]);
    const Vec3d c = cross(m.rows[0], m.rows[1]);
    const double d = dot(a, m.rows[0]);
    return from_columns(a, b, c) / d;
}

// The matrix of what rotate(q, v) applies, v -> conjugate(q) * v * q: the
// transpose of to_rotation_matrix(q), entry for entry. For a unit q, M * v
// differs from rotate(q, v) by rounding only (see the API notes for the bound);
// for another q, rotate scales by dot(q, q) and this matrix does not.
constexpr Mat3 from_rotation(const Quat& q) { return transpose(from_entries(to_rotation_matrix(q))); }

// The quaternion whose rotate applies the rotation matrix m:
// from_rotation_matrix of the transpose of m, with its choice of branch. A
// unit q gives back q or -q from from_rotation(q).
inline Quat to_rotation(const Mat3& m) { return from_rotation_matrix(entries(transpose(m))); }

// The eigenvalues of a symmetric matrix, ascending, and the matrix whose
// column k is the unit eigenvector of values[k]: eigen_symmetric<3> of the
// upper triangle, its pairs in reverse order.
struct Mat3Eigen {
    Vec3d values;
    Mat3 vectors;
};

inline Mat3Eigen eigen_symmetric(const Mat3& m) {
    const auto e = eigen_symmetric<3>(entries(m));
    const auto vector = [&e](int k) { return Vec3d{e.vectors[k][0], e.vectors[k][1], e.vectors[k][2]}; };
    return {{e.values[2], e.values[1], e.values[0]}, from_columns(vector(2), vector(1), vector(0))};
}

}  // namespace galdrin
