// Per-object access state: many readers or one writer, conflicts fail at once.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace quorral {

// The word holds a reader count in its low half and, in its high half, the
// number of writes completed (wrapping). A writer sets the low half to all
// ones. Free means a reader count of zero, whatever the high half.
//
// Entered and left only by threads attached to the interpreter. With a global
// lock those are serialised by the lock (and nothing in between reaches an
// eval-breaker), so there plain loads and stores do what the atomic
// read-modify-writes of the free-threaded build do, without the locked
// instructions.
class AccessState {
public:
    static constexpr std::uint64_t LOW = 0xffffffffULL;
    static constexpr std::uint64_t WRITER = LOW;              // low half, with a writer inside
    static constexpr std::uint64_t MAX_READERS = LOW - 1;     // a count that never looks like a writer
    static constexpr std::uint64_t ONE_WRITE = LOW + 1;       // one step of the high half

    static constexpr bool writing(std::uint64_t word) { return (word & LOW) == WRITER; }

    bool try_read() noexcept {
        std::uint64_t cur = word_.load(std::memory_order_relaxed);
#ifdef Py_GIL_DISABLED
        do {
            if ((cur & LOW) >= MAX_READERS) return false;
        } while (!word_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
#else
        if ((cur & LOW) >= MAX_READERS) return false;
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
        std::uint64_t cur = word_.load(std::memory_order_relaxed);
#ifdef Py_GIL_DISABLED
        do {
            if ((cur & LOW) != 0) return false;
        } while (!word_.compare_exchange_weak(cur, cur | WRITER, std::memory_order_acquire, std::memory_order_relaxed));
#else
        if ((cur & LOW) != 0) return false;
        word_.store(cur | WRITER, std::memory_order_relaxed);
#endif
        return true;
    }
    void end_write() noexcept {
        const std::uint64_t cur = word_.load(std::memory_order_relaxed);
        word_.store((cur & ~LOW) + ONE_WRITE, std::memory_order_release);
    }

    // Values that try_copy() reads: doubles only, copied word by word. Their
    // writers store through store_words().
    template <class V>
    static constexpr bool copyable =
        std::is_trivially_copyable_v<V> && sizeof(V) % 8 == 0 && alignof(V) == 8 && sizeof(V) <= 64;

    // A copy of `value`, taken without writing this object's memory so that
    // readers on other threads do not contend for its cache line. Fails, as
    // try_read() would, when a writer is inside. Only for borrows during which
    // no Python code can run: such a reader can never be met by a writer of
    // its own thread, and towards other threads it is a read that ended
    // before the writer came. `stamp` receives the count of writes the copy
    // saw, for unchanged_since().
    template <class V>
    bool try_copy(const V& value, V& out, std::uint64_t& stamp) noexcept {
        static_assert(copyable<V>);
#ifdef Py_GIL_DISABLED
        // Valid when no write started or ended while it was taken.
        const std::uint64_t before = word_.load(std::memory_order_acquire);
        if (writing(before)) return false;
        load_words(value, out);
        const std::uint64_t after = word_.load(std::memory_order_relaxed);
        stamp = before & ~LOW;
        if ((after & ~LOW) == stamp && !writing(after)) return true;
        // A write came (and maybe went) during the copy: take an ordinary turn.
        if (!try_read()) return false;
        stamp = word_.load(std::memory_order_relaxed) & ~LOW;
        out = value;
        end_read();
#else
        if (writing(word_.load(std::memory_order_relaxed))) return false;
        out = value;
        stamp = 0;
#endif
        return true;
    }

    // Whether no write has started or ended since a copy that gave `stamp`.
    // Copies of several objects, each checked after the last was taken, held
    // all at one instant, as borrows of all of them at once would have seen.
    bool unchanged_since(std::uint64_t stamp) const noexcept {
#ifdef Py_GIL_DISABLED
        // The copies' own loads were acquire loads, or were made under a
        // borrow that kept writers out: this look cannot come before them.
        const std::uint64_t now = word_.load(std::memory_order_relaxed);
        return (now & ~LOW) == stamp && !writing(now);
#else
        (void)stamp;
        return true;
#endif
    }

    // Stores `value` into `dst` inside a write, so that concurrent copies
    // never race with it (a torn copy is caught by the write count).
    template <class V>
    static void store_words(V& dst, const V& value) noexcept {
        static_assert(copyable<V>);
        const auto* from = reinterpret_cast<const Word*>(&value);
        auto* to = reinterpret_cast<Word*>(&dst);
        for (std::size_t i = 0; i < sizeof(V) / sizeof(Word); ++i) __atomic_store_n(&to[i], from[i], __ATOMIC_RELEASE);
    }

private:
    using Word = std::uint64_t __attribute__((__may_alias__));

    // Acquire loads: the second look at the word cannot move before them.
    template <class V>
    static void load_words(const V& value, V& out) noexcept {
        const auto* from = reinterpret_cast<const Word*>(&value);
        auto* to = reinterpret_cast<Word*>(&out);
        for (std::size_t i = 0; i < sizeof(V) / sizeof(Word); ++i) to[i] = __atomic_load_n(&from[i], __ATOMIC_ACQUIRE);
    }

    std::atomic<std::uint64_t> word_{0};
};

inline constexpr const char* READ_REFUSED = "Already mutably borrowed";
inline constexpr const char* WRITE_REFUSED = "Already borrowed";

}  // namespace quorral
