#include "kd_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "pool/pool.hpp"

namespace galdrin {

namespace pool = quorral::pool;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr std::int64_t NO_INDEX = std::numeric_limits<std::int64_t>::max();
constexpr std::uint32_t NO_LOWEST = std::numeric_limits<std::uint32_t>::max();

inline double coord(const Vec3d& p, unsigned axis) { return axis == 0 ? p.x : axis == 1 ? p.y : p.z; }

inline bool has_nan(const Vec3d& p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z); }

// x rounded to a float no greater (down) or no less (up) than it.
float float_down(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}
float float_up(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}

struct Entry {
    Vec3d p;
    std::uint32_t id;
};

// The range [lo, hi) of node j of a level with `level` splits above it, over m points.
void node_range(std::size_t j, unsigned level, std::size_t m, std::size_t& lo, std::size_t& hi) {
    lo = 0;
    hi = m;
    for (unsigned t = level; t-- > 0;) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if ((j >> t) & 1)
            lo = mid;
        else
            hi = mid;
    }
}

// Pieces of a level are worth a worker from about this many points on.
constexpr std::size_t BUILD_GRAIN_POINTS = 8192;

std::size_t grain_for(std::size_t points_per_piece) {
    return std::max<std::size_t>(1, BUILD_GRAIN_POINTS / std::max<std::size_t>(points_per_piece, 1));
}

}  // namespace

void KdTree::allocate(std::size_t n) {
    if (n > MAX_POINTS) throw std::length_error("a k-d tree holds at most 4294967295 points");
    n_ = n;
    storage_.reset(new std::byte[n * (sizeof(Vec3d) + sizeof(std::uint32_t))]);
}

KdTree::KdTree(std::span<const Vec3d> points) {
    allocate(points.size());
    const std::size_t n = n_;
    std::vector<Entry> work;
    work.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        if (!has_nan(points[i])) work.push_back({points[i], static_cast<std::uint32_t>(i)});
    m_ = work.size();
    // The NaN points follow the tree's, in their order; no query reaches them.
    auto* pts = reinterpret_cast<Vec3d*>(storage_.get());
    auto* id = reinterpret_cast<std::uint32_t*>(storage_.get() + n * sizeof(Vec3d));
    for (std::size_t i = 0, k = m_; i < n; ++i) {
        if (!has_nan(points[i])) continue;
        pts[k] = points[i];
        id[k++] = static_cast<std::uint32_t>(i);
    }

    depth_ = 0;
    while ((m_ >> depth_) > LEAF) ++depth_;  // leaves of at most LEAF points
    const std::size_t splits = (std::size_t{1} << depth_) - 1;
    box_.resize(2 * splits);
    lowest_.assign(2 * splits + 1, NO_LOWEST);
    // Stores the box of [lo, hi) for node v, and returns its widest axis, the
    // lower axis among equals; an extent of inf - inf (all at one infinity)
    // counts as none.
    const auto measure = [this](const Entry* w, std::size_t v, std::size_t lo, std::size_t hi) {
        double low[3] = {INF, INF, INF}, high[3] = {-INF, -INF, -INF};
        for (std::size_t i = lo; i < hi; ++i) {
            for (unsigned a = 0; a < 3; ++a) {
                low[a] = std::min(low[a], coord(w[i].p, a));
                high[a] = std::max(high[a], coord(w[i].p, a));
            }
        }
        if (v > 0) {
            Box& b = box_[v - 1];
            for (unsigned a = 0; a < 3; ++a) {
                b.low[a] = float_down(low[a]);
                b.high[a] = float_up(high[a]);
            }
        }
        unsigned axis = 0;
        double widest = -1.0;
        for (unsigned a = 0; a < 3; ++a) {
            const double extent = high[a] - low[a];
            if (extent > widest) {
                widest = extent;
                axis = a;
            }
        }
        return axis;
    };

    Entry* w = work.data();
    const std::size_t m = m_;
    for (unsigned level = 0; level < depth_; ++level) {
        const std::size_t count = std::size_t{1} << level;
        const std::size_t first = count - 1;
        pool::parallel_for(count, [&measure, w, m, level, first](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) {
                std::size_t lo, hi;
                node_range(j, level, m, lo, hi);
                const unsigned axis = measure(w, first + j, lo, hi);
                // Below mid no coordinate is above the split, from mid on none is below it.
                const std::size_t mid = lo + (hi - lo) / 2;
                std::nth_element(w + lo, w + mid, w + hi, [axis](const Entry& a, const Entry& b) {
                    return coord(a.p, axis) < coord(b.p, axis);
                });
            }
        }, grain_for(m >> level));
    }

    const std::size_t leaves = splits + 1;
    pool::parallel_for(leaves, [&, w, m](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            std::size_t lo, hi;
            node_range(j, depth_, m, lo, hi);
            measure(w, splits + j, lo, hi);
            std::uint32_t lowest = NO_LOWEST;
            for (std::size_t i = lo; i < hi; ++i) {
                pts[i] = w[i].p;
                id[i] = w[i].id;
                lowest = std::min(lowest, w[i].id);
            }
            lowest_[splits + j] = lowest;
        }
    }, grain_for(LEAF));
    for (std::size_t v = splits; v-- > 0;) lowest_[v] = std::min(lowest_[2 * v + 1], lowest_[2 * v + 2]);
}

KdTree KdTree::from_storage(std::span<const std::byte> bytes) {
    constexpr std::size_t unit = sizeof(Vec3d) + sizeof(std::uint32_t);
    if (bytes.size() % unit != 0) throw std::invalid_argument("the state is not whole points");
    const std::size_t n = bytes.size() / unit;
    if (n > MAX_POINTS) throw std::length_error("a k-d tree holds at most 4294967295 points");
    std::vector<Vec3d> original(n);
    std::vector<bool> seen(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        Vec3d p;
        std::uint32_t id;
        std::memcpy(&p, bytes.data() + i * sizeof(Vec3d), sizeof p);
        std::memcpy(&id, bytes.data() + n * sizeof(Vec3d) + i * sizeof id, sizeof id);
        if (id >= n || seen[id]) throw std::invalid_argument("the indices are not a permutation");
        seen[id] = true;
        original[id] = p;
    }
    return KdTree(original);
}

std::size_t KdTree::index_bytes() const {
    return n_ * sizeof(std::uint32_t) + box_.size() * sizeof(Box) + lowest_.size() * sizeof(std::uint32_t);
}

// The search visits a subtree only when its bound does not exceed the
// visitor's limit. The bound of a node is dot(o, o), o holding per axis how
// far the query lies outside the node's box: fl(low - q) below it, fl(q -
// high) above it, else 0. Every point p below has low <= p <= high on each
// axis (the corners are rounded outwards), and rounding is monotone, so
// |fl(p - q)| >= o on each axis; the squares and the two sums are monotone in
// their operands, so the bound, evaluated in the key's own order, is at most
// the key of every point below, and equal to it where the key is the least
// possible. A subtree is dropped only if its bound is above the limit, or
// equal to it with every index below at least the worst kept one's: a point
// whose key equals the worst is always reached when its lower index would
// win. A query at an infinity that a side of the box shares is not outside
// it there (no inf - inf).
template <class Visit>
void KdTree::search(const Vec3d& q, Visit& visit) const {
    if (m_ == 0 || has_nan(q)) return;
    struct Walk {
        const KdTree& tree;
        const Vec3d* pts;
        const std::uint32_t* id;
        std::size_t splits;
        const Vec3d& q;
        Visit& visit;

        double bound(std::size_t v) const {
            const Box& b = tree.box_[v - 1];
            const double qc[3] = {q.x, q.y, q.z};
            double o[3];
            for (unsigned a = 0; a < 3; ++a) {
                const double low = b.low[a], high = b.high[a];
                o[a] = qc[a] < low ? low - qc[a] : qc[a] > high ? qc[a] - high : 0.0;
            }
            return dot(Vec3d{o[0], o[1], o[2]}, Vec3d{o[0], o[1], o[2]});
        }

        void operator()(std::size_t v, std::size_t lo, std::size_t hi) const {
            if (v >= splits) {
                for (std::size_t i = lo; i < hi; ++i) visit.point(distance_squared(pts[i], q), id[i], i);
                return;
            }
            const std::size_t mid = lo + (hi - lo) / 2;
            const std::size_t left = 2 * v + 1, right = 2 * v + 2;
            const double to_left = bound(left), to_right = bound(right);
            // The nearer side first, so that the limit falls before the other is weighed.
            if (to_left <= to_right) {
                if (!visit.prune(to_left, tree.lowest_[left])) (*this)(left, lo, mid);
                if (!visit.prune(to_right, tree.lowest_[right])) (*this)(right, mid, hi);
            } else {
                if (!visit.prune(to_right, tree.lowest_[right])) (*this)(right, mid, hi);
                if (!visit.prune(to_left, tree.lowest_[left])) (*this)(left, lo, mid);
            }
        }
    };
    const Walk walk{*this, points(), ids(), split_count(), q, visit};
    walk(0, 0, m_);
}

namespace {

// The k best (key, index) pairs so far, ascending, and with Positions their
// places in tree order; empty slots hold the key limit and NO_INDEX, which
// every neighbour beats.
template <bool Positions>
struct Nearest {
    double* keys;
    std::int64_t* indices;
    std::uint32_t* positions;
    std::size_t last;  // k - 1

    bool prune(double bound, std::uint32_t lowest) const {
        return bound > keys[last] || (bound == keys[last] && lowest >= indices[last]);
    }
    void point(double key, std::uint32_t index, std::size_t position) {
        const std::int64_t i = index;
        if (!(key < keys[last] || (key == keys[last] && i < indices[last]))) return;  // NaN never enters
        std::size_t j = last;
        for (; j > 0 && (key < keys[j - 1] || (key == keys[j - 1] && i < indices[j - 1])); --j) {
            keys[j] = keys[j - 1];
            indices[j] = indices[j - 1];
            if constexpr (Positions) positions[j] = positions[j - 1];
        }
        keys[j] = key;
        indices[j] = i;
        if constexpr (Positions) positions[j] = static_cast<std::uint32_t>(position);
    }
};

struct Within {
    double limit;
    std::vector<std::int64_t>& out;
    bool prune(double bound, std::uint32_t) const { return bound > limit; }
    void point(double key, std::uint32_t index, std::size_t) {
        if (key <= limit) out.push_back(index);
    }
};

struct Count {
    double limit;
    std::size_t count = 0;
    bool prune(double bound, std::uint32_t) const { return bound > limit; }
    void point(double key, std::uint32_t, std::size_t) { count += key <= limit; }
};

}  // namespace

template <bool Positions>
void KdTree::find_nearest(const Vec3d& q, std::size_t k, double max_key, double* keys, std::int64_t* indices,
                          std::uint32_t* positions) const {
    if (k == 0) return;
    std::fill(keys, keys + k, max_key);
    std::fill(indices, indices + k, NO_INDEX);
    Nearest<Positions> visit{keys, indices, positions, k - 1};
    if (!std::isnan(max_key)) search(q, visit);
    for (std::size_t j = 0; j < k; ++j) {
        if (indices[j] != NO_INDEX) continue;
        keys[j] = INF;
        indices[j] = static_cast<std::int64_t>(n_);
        if constexpr (Positions) positions[j] = static_cast<std::uint32_t>(n_);
    }
}

void KdTree::nearest(const Vec3d& q, std::size_t k, double max_key, double* keys, std::int64_t* indices) const {
    find_nearest<false>(q, k, max_key, keys, indices, nullptr);
}

void KdTree::nearest(const Vec3d& q, std::size_t k, double max_key, double* keys, std::int64_t* indices,
                     std::uint32_t* positions) const {
    find_nearest<true>(q, k, max_key, keys, indices, positions);
}

void KdTree::within(const Vec3d& q, double max_key, std::vector<std::int64_t>& out) const {
    const std::size_t first = out.size();
    Within visit{max_key, out};
    search(q, visit);
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

std::size_t KdTree::count_within(const Vec3d& q, double max_key) const {
    Count visit{max_key};
    search(q, visit);
    return visit.count;
}

double key_limit(double r) {
    if (std::isnan(r) || r < 0.0) return std::numeric_limits<double>::quiet_NaN();
    double key = r * r;
    while (std::sqrt(key) > r) key = std::nextafter(key, 0.0);
    while (key < INF && std::sqrt(std::nextafter(key, INF)) <= r) key = std::nextafter(key, INF);
    return key;
}

}  // namespace galdrin
