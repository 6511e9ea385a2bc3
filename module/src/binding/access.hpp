// Per-object access state: many readers or one writer, conflicts fail at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorral {

class AccessState {
public:
    static constexpr std::uint64_t WRITER = ~std::uint64_t{0};

    bool try_read() noexcept {
        std::uint64_t cur = word_.load(std::memory_order_relaxed);
        do {
            if (cur >= WRITER - 1) return false;
        } while (!word_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void end_read() noexcept { word_.fetch_sub(1, std::memory_order_release); }

    bool try_write() noexcept {
        std::uint64_t expected = 0;
        return word_.compare_exchange_strong(expected, WRITER, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void end_write() noexcept { word_.store(0, std::memory_order_release); }

private:
    std::atomic<std::uint64_t> word_{0};
};

inline constexpr const char* READ_REFUSED = "Already mutably borrowed";
inline constexpr const char* WRITE_REFUSED = "Already borrowed";

}  // namespace quorral
