// Surface normals of a point cloud from each point's nearest neighbours.
#pragma once

#include <cstddef>

#include "kd_tree.hpp"
#include "vec3d.hpp"

namespace galdrin {

// For each point of the tree, at its index: the unit eigenvector of the
// smallest eigenvalue of the covariance of its k nearest points (itself among
// them, in the tree's order of neighbours), as eigen_symmetric gives it; NaN
// for a point with a NaN coordinate and where fewer than 3 points are found.
// Runs on the worker pool; out holds tree.size() vectors.
void normals(const KdTree& tree, std::size_t k, Vec3d* out);

}  // namespace galdrin
