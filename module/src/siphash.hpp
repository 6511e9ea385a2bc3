// SipHash-1-3 with a zero key: one compression round per block, three
// finalisation rounds. Independent of the process, unlike the interpreter's hash.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace quorral {

static_assert(std::endian::native == std::endian::little, "words are read in host order");

constexpr std::uint64_t siphash13(const unsigned char* data, std::size_t len) {
    std::uint64_t v0 = 0x736f6d6570736575ULL, v1 = 0x646f72616e646f6dULL;
    std::uint64_t v2 = 0x6c7967656e657261ULL, v3 = 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    };
    auto compress = [&](std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    };
    auto load_le = [&](std::size_t at, std::size_t n) {
        std::uint64_t m = 0;
        if (!std::is_constant_evaluated() && n == 8) {
            std::memcpy(&m, data + at, 8);
            return m;
        }
        for (std::size_t b = 0; b < n; ++b) m |= std::uint64_t{data[at + b]} << (8 * b);
        return m;
    };
    const std::size_t whole = len / 8 * 8;
    for (std::size_t at = 0; at < whole; at += 8) compress(load_le(at, 8));
    compress((std::uint64_t{len & 0xff} << 56) | load_le(whole, len - whole));
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// The hash of N doubles by their exact bits, with every NaN alike and -0
// folded into +0, each as eight little-endian bytes.
template <std::size_t N>
std::uint64_t hash_double_bits(const double* parts) {
    unsigned char message[8 * N];
    for (std::size_t c = 0; c < N; ++c) {
        const std::uint64_t bits =
            std::isnan(parts[c]) ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(parts[c] + 0.0);
        std::memcpy(message + 8 * c, &bits, 8);
    }
    return siphash13(message, sizeof message);
}

}  // namespace quorral
