#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "block_cache.hpp"

using quorral::BlockCache;

namespace {

constexpr std::size_t MB = std::size_t{1} << 20;

// Blocks at made-up addresses: the cache only keeps their bounds.
BlockCache::Block fake(std::uintptr_t at, std::size_t size) { return {reinterpret_cast<void*>(at << 32), size}; }

struct Released {
    std::vector<BlockCache::Block> blocks;
    void operator()(BlockCache::Block b) { blocks.push_back(b); }
};

TEST(BlockCache, ServesTheSmallestBlockOfBetweenOnceAndTwiceTheSize) {
    BlockCache cache(64 * MB);
    Released released;
    cache.keep(fake(1, 20 * MB), released);
    cache.keep(fake(2, 8 * MB), released);
    cache.keep(fake(3, 12 * MB), released);
    EXPECT_TRUE(released.blocks.empty());
    EXPECT_EQ(cache.take(24 * MB).start, nullptr);  // nothing as large
    EXPECT_EQ(cache.take(3 * MB).start, nullptr);   // 8 MB is more than twice
    EXPECT_EQ(cache.take(6 * MB).start, fake(2, 0).start);
    EXPECT_EQ(cache.take(8 * MB).start, fake(3, 0).start);
    EXPECT_EQ(cache.take(10 * MB).start, fake(1, 0).start);
    EXPECT_EQ(cache.kept_bytes(), 0u);
    EXPECT_EQ(cache.take(6 * MB).start, nullptr);
}

TEST(BlockCache, LetsTheOldestGoBeyondTheCapOrTheSlots) {
    BlockCache cache(64 * MB);
    Released released;
    for (std::uintptr_t i = 1; i <= 3; ++i) cache.keep(fake(i, 20 * MB), released);
    EXPECT_TRUE(released.blocks.empty());
    cache.keep(fake(4, 30 * MB), released);  // 90 MB: the two oldest go
    ASSERT_EQ(released.blocks.size(), 2u);
    EXPECT_EQ(released.blocks[0].start, fake(1, 0).start);
    EXPECT_EQ(released.blocks[1].start, fake(2, 0).start);
    EXPECT_EQ(cache.kept_bytes(), 50 * MB);

    BlockCache small(1024 * MB);
    released.blocks.clear();
    for (std::uintptr_t i = 1; i <= BlockCache::SLOTS + 2; ++i) small.keep(fake(i, 4 * MB), released);
    ASSERT_EQ(released.blocks.size(), 2u);
    EXPECT_EQ(released.blocks[1].start, fake(2, 0).start);
    EXPECT_EQ(small.kept_bytes(), BlockCache::SLOTS * 4 * MB);
}

TEST(BlockCache, ReleasesABlockAboveTheCapAtOnce) {
    BlockCache cache(64 * MB);
    Released released;
    cache.keep(fake(1, 8 * MB), released);
    cache.keep(fake(2, 400 * MB), released);
    ASSERT_EQ(released.blocks.size(), 1u);
    EXPECT_EQ(released.blocks[0].start, fake(2, 0).start);
    EXPECT_EQ(cache.kept_bytes(), 8 * MB);
}

// Threads taking and keeping blocks at once never share one.
TEST(BlockCache, ThreadsNeverGetTheSameBlock) {
    constexpr std::size_t KB = 1024;
    BlockCache cache(64 * KB);
    const auto release = [](BlockCache::Block b) { ::operator delete(b.start); };
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong, &cache, &release] {
            for (int i = 0; i < 2000; ++i) {
                const std::size_t size = (4 + (i + t) % 3) * KB;
                auto b = cache.take(size);
                if (!b.start) b = {::operator new(size), size};
                auto* p = static_cast<unsigned char*>(b.start);
                std::memset(p, t + 1, size);
                std::this_thread::yield();
                for (std::size_t k = 0; k < size; k += 256) wrong[t] += p[k] != t + 1;
                cache.keep(b, release);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[t], 0) << t;
    for (auto b = cache.take(4 * KB); b.start; b = cache.take(4 * KB)) release(b);
}

}  // namespace
