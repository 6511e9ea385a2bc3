#include "point_normals.hpp"

#include <cstdint>
#include <limits>
#include <vector>

#include "covariance.hpp"
#include "pool/pool.hpp"

namespace galdrin {

namespace {

// Points a worker takes at a time: each costs a k-nearest search.
constexpr std::size_t NORMAL_GRAIN = 64;

}  // namespace

void normals(const KdTree& tree, std::size_t k, Vec3d* out) {
    const std::span<const Vec3d> points = tree.ordered_points();
    const std::span<const std::uint32_t> ids = tree.ordered_ids();
    const std::size_t searched = tree.searched();
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    quorral::pool::parallel_for(points.size(), [&](std::size_t begin, std::size_t end) {
        std::vector<double> keys(k);
        std::vector<std::int64_t> indices(k);
        std::vector<std::uint32_t> positions(k);
        std::vector<Vec3d> near(k);
        // In tree order, so that consecutive searches walk the same nodes.
        for (std::size_t t = begin; t < end; ++t) {
            Vec3d& normal = out[ids[t]];
            normal = {nan, nan, nan};
            if (t >= searched) continue;
            tree.nearest(points[t], k, inf, keys.data(), indices.data(), positions.data());
            std::size_t found = 0;
            while (found < k && positions[found] < points.size()) {
                near[found] = points[positions[found]];
                ++found;
            }
            if (found < 3) continue;
            normal = column(eigen_symmetric(covariance(near.data(), found)).vectors, 0);
        }
    }, NORMAL_GRAIN);
}

}  // namespace galdrin
