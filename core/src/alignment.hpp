// The rotation that best turns one set of vectors into another: the unit
// quaternion q maximising sum dot(rotate(q, a_i), b_i), from the matrix
// S = sum a_i b_i^T alone, as the dominant eigenvector of a symmetric 4x4
// matrix built from S (no singular value decomposition, never a reflection).
#pragma once

#include <cmath>
#include <limits>

#include "symmetric_eigen.hpp"
#include "mat3.hpp"
#include "quat.hpp"

namespace galdrin {

struct Alignment {
    Quat rotation;
    bool determined;  // false when S leaves the rotation open (the top two eigenvalues too close)
};

// With S's entries s_rc, the rotation v -> p v p* of the unit p = (w, x, y, z)
// maximises p^T N p for
//   N = [[sxx + syy + szz, syz - szy,        szx - sxz,        sxy - syx      ],
//        [syz - szy,       sxx - syy - szz,  sxy + syx,        szx + sxz      ],
//        [szx - sxz,       sxy + syx,       -sxx + syy - szz,  syz + szy      ],
//        [sxy - syx,       szx + sxz,        syz + szy,       -sxx - syy + szz]],
// each sum from left to right. rotate(q, v) computes q* v q, so q = conjugate(p).
// The rotation is open when the gap between the two largest eigenvalues is at
// most 2^-40 of their magnitudes: points on one line, or fewer than three
// (two vectors for sums without centring). NaN or infinite entries give NaN.
inline Alignment rotation_aligning(const Mat3& s) {
    const double sxx = s.rows[0].x, sxy = s.rows[0].y, sxz = s.rows[0].z;
    const double syx = s.rows[1].x, syy = s.rows[1].y, syz = s.rows[1].z;
    const double szx = s.rows[2].x, szy = s.rows[2].y, szz = s.rows[2].z;
    const Mat4 n{{
        {(sxx + syy) + szz, syz - szy, szx - sxz, sxy - syx},
        {syz - szy, (sxx - syy) - szz, sxy + syx, szx + sxz},
        {szx - sxz, sxy + syx, (-sxx + syy) - szz, syz + szy},
        {sxy - syx, szx + sxz, syz + szy, (-sxx - syy) + szz},
    }};
    const auto e = eigen_symmetric<4>(n);
    const auto& p = e.vectors[0];
    const Quat q{p[0], -p[1], -p[2], -p[3]};
    if (std::isnan(e.values[0])) return {q, true};
    const double gap = e.values[0] - e.values[1];
    return {q, gap > 0x1p-40 * (std::fabs(e.values[0]) + std::fabs(e.values[1]))};
}

}  // namespace galdrin
