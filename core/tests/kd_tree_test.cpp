#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "kd_tree.hpp"
#include "test_support.hpp"

using galdrin::KdTree;
using galdrin::Vec3d;
using test_support::bits;
using test_support::Inf;
using test_support::NaN;

namespace {

// The answers by a scan over every point, under the tree's rule.
std::vector<std::pair<double, std::int64_t>> scan(const std::vector<Vec3d>& pts, const Vec3d& q, double max_key) {
    std::vector<std::pair<double, std::int64_t>> found;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const double key = distance_squared(pts[i], q);
        if (key <= max_key) found.emplace_back(key, static_cast<std::int64_t>(i));
    }
    std::sort(found.begin(), found.end());
    return found;
}

void expect_nearest(const KdTree& tree, const std::vector<Vec3d>& pts, const Vec3d& q, std::size_t k, double max_key) {
    std::vector<double> keys(k);
    std::vector<std::int64_t> indices(k);
    tree.nearest(q, k, max_key, keys.data(), indices.data());
    // The form with positions answers the same, and each position holds its neighbour.
    std::vector<double> again(k);
    std::vector<std::int64_t> again_indices(k);
    std::vector<std::uint32_t> positions(k);
    tree.nearest(q, k, max_key, again.data(), again_indices.data(), positions.data());
    ASSERT_EQ(again_indices, indices);
    for (std::size_t j = 0; j < k; ++j) {
        ASSERT_EQ(bits(again[j]), bits(keys[j]));
        if (positions[j] == tree.size()) {
            ASSERT_EQ(indices[j], static_cast<std::int64_t>(pts.size()));
            continue;
        }
        ASSERT_EQ(tree.ordered_ids()[positions[j]], indices[j]);
        ASSERT_EQ(bits(tree.ordered_points()[positions[j]].x), bits(pts[indices[j]].x));
    }
    const auto expected = scan(pts, q, max_key);
    for (std::size_t j = 0; j < k; ++j) {
        if (j < expected.size()) {
            ASSERT_EQ(bits(keys[j]), bits(expected[j].first)) << "slot " << j;
            ASSERT_EQ(indices[j], expected[j].second) << "slot " << j;
        } else {
            ASSERT_EQ(bits(keys[j]), bits(Inf)) << "slot " << j;
            ASSERT_EQ(indices[j], static_cast<std::int64_t>(pts.size())) << "slot " << j;
        }
    }
}

void expect_within(const KdTree& tree, const std::vector<Vec3d>& pts, const Vec3d& q, double max_key) {
    std::vector<std::int64_t> expected;
    for (const auto& [key, i] : scan(pts, q, max_key)) expected.push_back(i);
    std::sort(expected.begin(), expected.end());
    std::vector<std::int64_t> got{-1};  // appended after what is there
    tree.within(q, max_key, got);
    ASSERT_EQ(got.front(), -1);
    got.erase(got.begin());
    ASSERT_EQ(got, expected);
    ASSERT_EQ(tree.count_within(q, max_key), expected.size());
}

void expect_all(const std::vector<Vec3d>& pts, const std::vector<Vec3d>& queries) {
    const KdTree tree(pts);
    ASSERT_EQ(tree.size(), pts.size());
    for (const Vec3d& q : queries) {
        for (std::size_t k : {1, 2, 5, 17, 40}) {
            expect_nearest(tree, pts, q, k, Inf);
            expect_nearest(tree, pts, q, k, 2.0);
        }
        for (double limit : {0.0, 0.25, 1.0, 2.0, 9.0, Inf}) expect_within(tree, pts, q, limit);
    }
}

// Coordinates drawn from a few values: many ties, duplicates and points on
// the splitting planes.
std::vector<Vec3d> grid_cloud(std::size_t n, int values, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> pick(0, values - 1);
    std::vector<Vec3d> pts(n);
    for (Vec3d& p : pts) p = {0.5 * pick(rng), 0.5 * pick(rng), 0.5 * pick(rng)};
    return pts;
}

std::vector<Vec3d> uniform_cloud(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    std::vector<Vec3d> pts(n);
    for (Vec3d& p : pts) p = {u(rng), u(rng), u(rng)};
    return pts;
}

TEST(KdTree, EmptyAnswersWithMissingSlots) {
    const std::vector<Vec3d> none;
    expect_all(none, {{0, 0, 0}, {1, NaN, 2}});
}

TEST(KdTree, OnePointAndAllEqual) {
    expect_all({{1, 2, 3}}, {{0, 0, 0}, {1, 2, 3}});
    expect_all(std::vector<Vec3d>(300, Vec3d{1, 1, 1}), {{0, 0, 0}, {1, 1, 1}, {1, 1, 1.5}});
}

TEST(KdTree, GridCloudsWithTies) {
    std::mt19937_64 rng(7);
    for (std::size_t n : {3, 16, 17, 33, 100, 1000, 5000}) {
        for (int values : {2, 3, 7}) {
            const auto pts = grid_cloud(n, values, rng);
            expect_all(pts, grid_cloud(12, values + 1, rng));
        }
    }
}

TEST(KdTree, UniformClouds) {
    std::mt19937_64 rng(11);
    for (std::size_t n : {50, 4096, 20000}) expect_all(uniform_cloud(n, rng), uniform_cloud(20, rng));
}

TEST(KdTree, EqualKeysAcrossSplitsKeepTheLowerIndex) {
    // Points mirrored about the query on every axis: each pair has one key,
    // and the higher copy comes first so that the lower index lies on the far side.
    std::vector<Vec3d> pts;
    for (int i = 0; i < 200; ++i) {
        const double d = 0.125 * (i % 9 + 1);
        pts.push_back({2.0 + d, 2.0, 2.0});
        pts.push_back({2.0 - d, 2.0, 2.0});
        pts.push_back({2.0, 2.0 + d, 2.0});
        pts.push_back({2.0, 2.0, 2.0 - d});
    }
    std::reverse(pts.begin(), pts.end());
    expect_all(pts, {{2, 2, 2}, {2.0625, 2, 2}, {2, 2, 1.9375}});
}

TEST(KdTree, ManyDuplicatesFindTheLowestIndex) {
    std::vector<Vec3d> pts(100000, Vec3d{0.5, -0.25, 4});
    pts[77777] = {0.5, -0.25, 3.5};
    const KdTree tree(pts);
    double key;
    std::int64_t index;
    tree.nearest({0, 0, 10}, 1, Inf, &key, &index);
    EXPECT_EQ(index, 0);
    tree.nearest({0, 0, 3}, 1, Inf, &key, &index);
    EXPECT_EQ(index, 77777);
    EXPECT_EQ(tree.count_within({0, 0, 0}, Inf), pts.size());
}

TEST(KdTree, NaNPointsAreNeverNeighbours) {
    std::mt19937_64 rng(3);
    auto pts = grid_cloud(500, 4, rng);
    for (std::size_t i = 0; i < pts.size(); i += 7) pts[i].y = NaN;
    for (std::size_t i = 3; i < pts.size(); i += 11) pts[i].z = -NaN;
    expect_all(pts, grid_cloud(10, 5, rng));
    // A NaN query finds nothing.
    expect_all(pts, {{NaN, 0, 0}, {0, 0, -NaN}});
}

TEST(KdTree, InfiniteCoordinates) {
    std::mt19937_64 rng(5);
    auto pts = grid_cloud(400, 3, rng);
    for (std::size_t i = 0; i < pts.size(); i += 5) pts[i].x = Inf;
    for (std::size_t i = 2; i < pts.size(); i += 9) pts[i].z = -Inf;
    pts[1] = {Inf, Inf, Inf};
    expect_all(pts, {{0, 0, 0}, {Inf, 0, 0}, {-Inf, 1, 1}, {0, 0, -Inf}, {Inf, Inf, Inf}, {1e300, 0, 0}});
}

TEST(KdTree, HugeAndTinyScales) {
    std::mt19937_64 rng(9);
    auto pts = uniform_cloud(3000, rng);
    for (std::size_t i = 0; i < pts.size(); ++i) pts[i] = pts[i] * (i % 2 ? 1e154 : 1e-160);
    expect_all(pts, {{0, 0, 0}, {1e154, 0, 0}, {1e-160, 1e-160, 0}});
}

TEST(KdTree, BoxesRoundedToFloatsStillHoldTheirPoints) {
    // Coordinates that floats do not hold: beyond their range, below their
    // smallest subnormal, and between two floats.
    const double values[] = {3.4028234663852886e38, 3.4028235677973366e38, 1e39, -1e300, 1e-46, -1e-320,
                             0.1, 0.1000000001, 1.0 + 0x1p-40, 1.0, 16777217.0};
    std::mt19937_64 rng(21);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(values) - 1);
    std::vector<Vec3d> pts(3000);
    for (Vec3d& p : pts) p = {values[pick(rng)], values[pick(rng)], values[pick(rng)]};
    std::vector<Vec3d> queries;
    for (double v : values) queries.push_back({v, v, values[pick(rng)]});
    expect_all(pts, queries);
}

TEST(KdTree, ThreadsQueryOneTreeWhileOthersBuild) {
    std::mt19937_64 rng(23);
    const auto pts = grid_cloud(20000, 9, rng);
    const auto queries = grid_cloud(64, 10, rng);
    const KdTree shared(pts);
    std::vector<std::int64_t> expected(queries.size());
    for (std::size_t j = 0; j < queries.size(); ++j) expected[j] = scan(pts, queries[j], Inf).front().second;
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                const KdTree own = t % 2 ? KdTree(pts) : KdTree();
                const KdTree& tree = t % 2 ? own : shared;
                for (std::size_t j = 0; j < queries.size(); ++j) {
                    double key;
                    std::int64_t index;
                    tree.nearest(queries[j], 1, Inf, &key, &index);
                    wrong[t] += index != expected[j];
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(KdTree, StorageRebuildsTheSameAnswers) {
    std::mt19937_64 rng(13);
    auto pts = grid_cloud(700, 5, rng);
    pts[4].x = NaN;
    const KdTree tree(pts);
    const auto bytes = tree.storage();
    ASSERT_EQ(bytes.size(), pts.size() * 28);
    const KdTree again = KdTree::from_storage(bytes);
    ASSERT_EQ(again.size(), pts.size());
    ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), again.storage().begin()));
    for (const Vec3d& q : grid_cloud(10, 6, rng)) expect_nearest(again, pts, q, 9, Inf);
    std::vector<std::byte> broken(bytes.begin(), bytes.end());
    broken[pts.size() * 24] = broken[pts.size() * 24 + 4];  // two indices alike
    broken[pts.size() * 24 + 1] = broken[pts.size() * 24 + 5];
    broken[pts.size() * 24 + 2] = broken[pts.size() * 24 + 6];
    broken[pts.size() * 24 + 3] = broken[pts.size() * 24 + 7];
    EXPECT_THROW(KdTree::from_storage(broken), std::invalid_argument);
    EXPECT_THROW(KdTree::from_storage(std::span(broken).first(27)), std::invalid_argument);
}

TEST(KdTree, IndexMemoryStaysUnderEightBytesAPoint) {
    std::mt19937_64 rng(17);
    for (std::size_t n : {1, 17, 33, 1000, 65537, 300001}) {
        const KdTree tree(uniform_cloud(n, rng));
        EXPECT_LE(tree.index_bytes(), 8 * n) << n;
    }
}

TEST(KdTree, KeyLimitIsTheLargestKeyWithinTheDistance) {
    for (double r : {0.0, 1e-300, 0.1, 0.3, 1.0, 2.0, 3.7, 1e10, 1e154, 1e200, 1.7e308}) {
        const double key = galdrin::key_limit(r);
        EXPECT_LE(std::sqrt(key), r) << r;
        EXPECT_GT(std::sqrt(std::nextafter(key, Inf)), r) << r;
    }
    EXPECT_EQ(galdrin::key_limit(Inf), Inf);
    EXPECT_TRUE(std::isnan(galdrin::key_limit(-1.0)));
    EXPECT_TRUE(std::isnan(galdrin::key_limit(NaN)));
}

}  // namespace
