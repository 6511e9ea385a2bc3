// Per-object access state: many readers or one writer, conflicts fail at once.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace quorral {

// Entered and left only by threads attached to the interpreter. With a global
// lock those are serialised by the lock (and nothing in between reaches an
// eval-breaker), so there plain loads and stores do what the atomic
// read-modify-writes of the free-threaded build do, without the locked
// instructions.
class AccessState {
public:
    static constexpr std::uint64_t WRITER = ~std::uint64_t{0};

    bool try_read() noexcept {
        std::uint64_t cur = word_.load(std::memory_order_relaxed);
#ifdef Py_GIL_DISABLED
        do {
            if (cur >= WRITER - 1) return false;
        } while (!word_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
#else
        if (cur >= WRITER - 1) return false;
        word_.store(cur + 1, std::memory_order_relaxed);
#endif
        return true;
    }
    void end_read() noexcept {
#ifdef Py_GIL_DISABLED
        word_.fetch_sub(1, std::memory_order_release);
#else
        word_.store(word_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
#endif
    }

    bool try_write() noexcept {
#ifdef Py_GIL_DISABLED
        std::uint64_t expected = 0;
        return word_.compare_exchange_strong(expected, WRITER, std::memory_order_acquire, std::memory_order_relaxed);
#else
        if (word_.load(std::memory_order_relaxed) != 0) return false;
        word_.store(WRITER, std::memory_order_relaxed);
        return true;
#endif
    }
    void end_write() noexcept { word_.store(0, std::memory_order_release); }

private:
    std::atomic<std::uint64_t> word_{0};
};

inline constexpr const char* READ_REFUSED = "Already mutably borrowed";
inline constexpr const char* WRITE_REFUSED = "Already borrowed";

}  // namespace quorral
