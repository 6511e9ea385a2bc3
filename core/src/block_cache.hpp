// The freed blocks of LargeBlocks (vec_array.hpp), plain C++ so that its tests
// can run without Python.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>

namespace quorral {

// Freed blocks kept for reuse: at most SLOTS of them and `cap` bytes
// together, the oldest let go first. A block serves a request of between half
// and all of its size; of those, the smallest does.
class BlockCache {
public:
    static constexpr std::size_t SLOTS = 16;

    struct Block {
        void* start = nullptr;
        std::size_t size = 0;
    };

    explicit BlockCache(std::size_t cap) : cap_(cap) {}

    // The kept block best fitting `size`, no longer kept; an empty one if none fits.
    Block take(std::size_t size) {
        std::lock_guard lock(mutex_);
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t s = kept_[i].size;
            if (s >= size && s <= 2 * size && (best == count_ || s < kept_[best].size)) best = i;
        }
        if (best == count_) return {};
        return remove(best);
    }

    // Keeps `b`, calling `release` (outside the lock) on every block that no
    // longer fits the bounds: the oldest ones, or `b` itself if it exceeds the cap.
    template <class Release>
    void keep(Block b, Release&& release) {
        std::array<Block, SLOTS + 1> out;
        std::size_t n = 0;
        if (b.size > cap_) {
            out[n++] = b;
        } else {
            std::lock_guard lock(mutex_);
            while (count_ == SLOTS || total_ + b.size > cap_) out[n++] = remove(0);
            kept_[count_++] = b;
            total_ += b.size;
        }
        for (std::size_t i = 0; i < n; ++i) release(out[i]);
    }

    // The bytes kept now.
    std::size_t kept_bytes() {
        std::lock_guard lock(mutex_);
        return total_;
    }

private:
    Block remove(std::size_t i) {
        const Block b = kept_[i];
        for (std::size_t j = i + 1; j < count_; ++j) kept_[j - 1] = kept_[j];
        --count_;
        total_ -= b.size;
        return b;
    }

    std::mutex mutex_;
    std::array<Block, SLOTS> kept_{};  // oldest first
    std::size_t count_ = 0;
    std::size_t total_ = 0;
    const std::size_t cap_;
};

}  // namespace quorral
