// Seeded rotations uniform over all rotations, the same bits on every machine
// and for every number of threads: element `index` of seed `seed` draws from
// its own SplitMix64 sequence, started at mix(mix(seed) + index), and uses
// only exact arithmetic, comparisons, one division and one square root.
//
// It draws points p uniform in the cube [-1, 1)^4, with each coordinate
// (u >> 11) * 2^-52 - 1 for the next 64-bit output u, until 0 < |p|^2 <= 1
// (|p|^2 summed in the order of dot), and returns p / |p|: uniform on the
// unit sphere of quaternions, so uniform over rotations. On average about 3.2
// points are drawn; after 1000 rejected points (never seen: each is rejected
// with probability 0.69) it returns the identity.
#pragma once

#include <cmath>
#include <cstdint>

#include "quat.hpp"

namespace galdrin {

inline constexpr std::uint64_t SPLITMIX_STEP = 0x9E3779B97F4A7C15ull;

constexpr std::uint64_t splitmix_mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct SplitMix64 {
    std::uint64_t state;

    constexpr std::uint64_t next() { return splitmix_mix(state += SPLITMIX_STEP); }
};

inline Quat random_rotation(std::uint64_t seed, std::uint64_t index) {
    SplitMix64 g{splitmix_mix(splitmix_mix(seed) + index)};
    const auto coordinate = [&g] { return static_cast<double>(g.next() >> 11) * 0x1p-52 - 1.0; };
    for (int tries = 0; tries < 1000; ++tries) {
        const double w = coordinate(), i = coordinate(), j = coordinate(), k = coordinate();
        const double r2 = ((w * w + i * i) + j * j) + k * k;
        if (r2 > 0.0 && r2 <= 1.0) {
            const double r = std::sqrt(r2);
            return {w / r, i / r, j / r, k / r};
        }
    }
    return Quat::identity();
}

}  // namespace galdrin
