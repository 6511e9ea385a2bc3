// A static k-d tree over a copy of a point set, for exact nearest-neighbour,
// radius and count queries.
//
// The key of a point p for a query q is distance_squared(p, q), evaluated as
// the vector type documents. A point is a neighbour of q when its key is not
// NaN and is at most the query's key limit: points with a NaN coordinate are
// never neighbours, a query with a NaN coordinate finds nothing, and a point
// with an infinite coordinate meeting a query with the same infinity (key
// NaN) is none either. Neighbours are ordered by key, equal keys by the
// lower index. Every answer equals a scan over all points in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "vec3d.hpp"

namespace galdrin {

class KdTree {
public:
    // Leaves hold about LEAF / 2 to LEAF points (at most LEAF + 1).
    static constexpr std::size_t LEAF = 32;
    // At most this many points: indices are kept in 32 bits.
    static constexpr std::size_t MAX_POINTS = 0xffffffffULL;

    KdTree() = default;
    // Builds over a copy of the points, on the worker pool; the points are
    // indexed by their positions. Throws std::length_error past MAX_POINTS.
    explicit KdTree(std::span<const Vec3d> points);

    // The tree again from storage() of one: the points in tree order, then
    // their 32-bit indices. Throws std::invalid_argument unless those are a
    // permutation of [0, n).
    static KdTree from_storage(std::span<const std::byte> bytes);

    // Number of points, NaN ones included.
    std::size_t size() const { return n_; }
    // The points in tree order followed by their indices (28 bytes a point).
    std::span<const std::byte> storage() const { return {storage_.get(), n_ * (sizeof(Vec3d) + sizeof(std::uint32_t))}; }
    // Bytes held beyond the copy of the points.
    std::size_t index_bytes() const;

    // The k nearest neighbours of q with key at most max_key, nearest first:
    // keys[j] and indices[j] for j < k. Slots past the last neighbour get key
    // inf and index size().
    void nearest(const Vec3d& q, std::size_t k, double max_key, double* keys, std::int64_t* indices) const;
    // The same, with also the neighbours' positions in tree order (see
    // ordered_points) in positions[j]; slots past the last one get size().
    void nearest(const Vec3d& q, std::size_t k, double max_key, double* keys, std::int64_t* indices,
                 std::uint32_t* positions) const;

    // The points in tree order and, at the same positions, their indices; the
    // points without a NaN coordinate come first, `searched()` of them.
    std::span<const Vec3d> ordered_points() const { return {points(), n_}; }
    std::span<const std::uint32_t> ordered_ids() const { return {ids(), n_}; }
    std::size_t searched() const { return m_; }

    // Appends the indices of the neighbours with key at most max_key to out, ascending.
    void within(const Vec3d& q, double max_key, std::vector<std::int64_t>& out) const;

    // The number of neighbours with key at most max_key.
    std::size_t count_within(const Vec3d& q, double max_key) const;

private:
    const Vec3d* points() const { return reinterpret_cast<const Vec3d*>(storage_.get()); }
    const std::uint32_t* ids() const { return reinterpret_cast<const std::uint32_t*>(storage_.get() + n_ * sizeof(Vec3d)); }
    std::size_t split_count() const { return (std::size_t{1} << depth_) - 1; }
    void allocate(std::size_t n);
    void build();

    template <class Visit>
    void search(const Vec3d& q, Visit& visit) const;
    template <bool Positions>
    void find_nearest(const Vec3d& q, std::size_t k, double max_key, double* keys, std::int64_t* indices,
                      std::uint32_t* positions) const;

    std::size_t n_ = 0;
    std::size_t m_ = 0;      // points without a NaN coordinate: the first m_ in tree order
    unsigned depth_ = 0;     // levels of splits; 2^depth_ leaves
    std::unique_ptr<std::byte[]> storage_;
    // The box of a node's points, its corners rounded outwards to floats.
    struct Box {
        float low[3];
        float high[3];
    };
    std::vector<Box> box_;               // per node but the root, in heap order from node 1
    std::vector<std::uint32_t> lowest_;  // per node, in heap order: the lowest index below it
};

// The largest key whose square root is at most r, for r >= 0: a point is
// within r exactly when sqrt(key) <= r, its reported distance.
double key_limit(double r);

}  // namespace galdrin
