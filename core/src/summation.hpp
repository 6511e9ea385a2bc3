// Sums over many terms on one fixed tree, so that every way of computing them
// (in one pass, or leaf by leaf on several threads) gives the same bits.
//
// The terms are cut into leaves of SUM_LEAF consecutive terms (the last one
// shorter). A leaf is summed in index order starting from its first term:
// ((t0 + t1) + t2) + ... The leaf sums are then combined pairwise: a run of m
// leaves is the sum of its first floor(m / 2) leaves plus the sum of the rest,
// down to single leaves. No terms sum to zero. The error bound is that of
// pairwise summation with leaves of SUM_LEAF terms.
#pragma once

#include <algorithm>
#include <cstddef>

#include "vec3d.hpp"

namespace galdrin {

inline constexpr std::size_t SUM_LEAF = 128;

constexpr std::size_t sum_leaves(std::size_t n) { return (n + SUM_LEAF - 1) / SUM_LEAF; }

// Terms term(begin) .. term(end - 1), end > begin, summed in index order.
template <class Term>
constexpr auto sum_in_order(std::size_t begin, std::size_t end, const Term& term) {
    auto s = term(begin);
    for (std::size_t i = begin + 1; i < end; ++i) s = s + term(i);
    return s;
}

// Leaf sums leaf(first) .. leaf(first + m - 1), m >= 1, combined pairwise.
template <class Leaf>
constexpr auto combine_pairwise(std::size_t first, std::size_t m, const Leaf& leaf) {
    if (m == 1) return leaf(first);
    const std::size_t left = m / 2;
    return combine_pairwise(first, left, leaf) + combine_pairwise(first + left, m - left, leaf);
}

// The sum of leaf k (of n terms).
template <class Term>
constexpr auto leaf_sum(std::size_t k, std::size_t n, const Term& term) {
    return sum_in_order(k * SUM_LEAF, std::min(n, (k + 1) * SUM_LEAF), term);
}

// The sums of the full leaves k, k + stride, k + 2 stride and k + 3 stride into
// out[0], out[stride], out[2 stride] and out[3 stride], each in its own order as
// leaf_sum gives it: four independent chains of additions, which the processor
// overlaps where one chain waits on each addition in turn.
template <class Term, class T>
constexpr void four_leaf_sums(std::size_t k, std::size_t stride, const Term& term, T* out) {
    const std::size_t b0 = k * SUM_LEAF, step = stride * SUM_LEAF;
    const std::size_t b1 = b0 + step, b2 = b1 + step, b3 = b2 + step;
    T s0 = term(b0), s1 = term(b1), s2 = term(b2), s3 = term(b3);
    for (std::size_t i = 1; i < SUM_LEAF; ++i) {
        s0 = s0 + term(b0 + i);
        s1 = s1 + term(b1 + i);
        s2 = s2 + term(b2 + i);
        s3 = s3 + term(b3 + i);
    }
    out[0] = s0;
    out[stride] = s1;
    out[2 * stride] = s2;
    out[3 * stride] = s3;
}

// term(0) + ... + term(n - 1) on the tree above; `zero` when n = 0.
template <class T, class Term>
constexpr T tree_sum(std::size_t n, const Term& term, T zero) {
    if (n == 0) return zero;
    return combine_pairwise(0, sum_leaves(n), [&](std::size_t k) -> T { return leaf_sum(k, n, term); });
}

constexpr Vec3d sum(const Vec3d* items, std::size_t n) {
    return tree_sum(n, [items](std::size_t i) { return items[i]; }, Vec3d::zero());
}

// The sum with each component divided by n: NaN components for no items.
constexpr Vec3d mean(const Vec3d* items, std::size_t n) { return sum(items, n) / static_cast<double>(n); }

// dot(a[0], b[0]) + ... + dot(a[n - 1], b[n - 1]) on the same tree.
constexpr double dot_sum(const Vec3d* a, const Vec3d* b, std::size_t n) {
    return tree_sum(n, [a, b](std::size_t i) { return dot(a[i], b[i]); }, 0.0);
}

}  // namespace galdrin
