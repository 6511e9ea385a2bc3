// Process-wide worker pool with an order-preserving parallel map and a minimum search.
//
// A job's range is split by repeated halving under a split budget; the calling thread runs the
// left halves itself and takes back every right half no worker has stolen yet, so small jobs
// never wait on another thread. Task nodes live on the stack of the thread that split them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>

namespace quorral::pool {

// Number of worker threads for the given environment values (null when unset) and processor count.
std::size_t parse_thread_count(const char* num_threads, const char* num_cpus, std::size_t available);

// Processors available to this process, at least 1.
std::size_t available_processors();

// Creates the pool on first call; the number of worker threads N.
std::size_t workers();

// IEEE-754 totalOrder: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
constexpr std::int64_t total_order_key(double x) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

constexpr bool total_order_less(double a, double b) noexcept {
    return total_order_key(a) < total_order_key(b);
}

struct Best {
    std::size_t index;
    double key;
};

namespace detail {

// One job's type-erased piece runner. `out` is the piece's minimum when the job reduces. Every
// batch call builds one: its 32 bytes are part of the cost of a short call.
struct Job {
    void (*piece)(void* body, std::size_t begin, std::size_t end, std::optional<Best>& out);
    void* body;
    bool reduce;
    bool wake = true;   // whether handing out a piece may wake a sleeping worker
    std::size_t grain;  // pieces are never split below this length
};

// Runs the job over [0, n), n >= 2 * grain, and rethrows the first failure once every piece has ended.
void run(const Job& job, std::size_t n, std::optional<Best>& out);

// Runs a job too short to wake a worker for, n < 2 * grain: in two halves when a worker is awake
// with nothing to do, polling for work, and takes one; never while jobs come from several
// threads. Else on the calling thread; then, when short jobs come in quick succession, a worker
// that sleeps is woken (not waited for), so that the next finds it awake.
void run_short(const Job& job, std::size_t n, std::optional<Best>& out);

// A worker that is already awake takes a piece within a fraction of a microsecond, where waking
// one takes several: a job too short to wake a worker for is still halved for an awake one from
// twice this share of its grain on.
inline constexpr std::size_t AWAKE_SHARE = 8;

template <class T>
void* erase(T& value) noexcept {
    return const_cast<void*>(static_cast<const void*>(std::addressof(value)));
}

// Runs the job over [0, n) on the calling thread when it is too short to split, or in two halves
// when a worker is awake to take one.
inline void run_or_split(const Job& job, std::size_t n, std::optional<Best>& out) {
    workers();
    if (n < 2 * std::max<std::size_t>(job.grain / AWAKE_SHARE, 1)) {
        if (n > 0) job.piece(job.body, 0, n, out);
    } else if (n < 2 * job.grain) {
        run_short(job, n, out);
    } else {
        run(job, n, out);
    }
}

}  // namespace detail

// body(begin, end) over pieces that tile [0, n). A job shorter than twice `grain` runs as one
// piece on the calling thread, where waking a worker for a piece would cost more than computing
// it, or in two halves when a worker is awake and idle (AWAKE_SHARE).
template <class Body>
void parallel_for(std::size_t n, Body&& body, std::size_t grain = 1) {
    using B = std::remove_reference_t<Body>;
    const detail::Job job{.piece = [](void* b, std::size_t begin, std::size_t end,
                                      std::optional<Best>&) { (*static_cast<B*>(b))(begin, end); },
                          .body = detail::erase(body),
                          .reduce = false,
                          .grain = std::max<std::size_t>(grain, 1)};
    std::optional<Best> unused;
    detail::run_or_split(job, n, unused);
}

// The lowest index of the least key(i) in IEEE-754 total order, over [0, n).
template <class Key>
std::optional<Best> min_by_key(std::size_t n, Key&& key, std::size_t grain = 1) {
    using K = std::remove_reference_t<Key>;
    const detail::Job job{.piece =
                              [](void* k, std::size_t begin, std::size_t end, std::optional<Best>& out) {
                                  auto& f = *static_cast<K*>(k);
                                  Best best{begin, static_cast<double>(f(begin))};
                                  for (std::size_t i = begin + 1; i < end; ++i) {
                                      const double v = static_cast<double>(f(i));
                                      if (total_order_less(v, best.key)) best = {i, v};
                                  }
                                  out = best;
                              },
                          .body = detail::erase(key),
                          .reduce = true,
                          .grain = std::max<std::size_t>(grain, 1)};
    std::optional<Best> best;
    detail::run_or_split(job, n, best);
    return best;
}

}  // namespace quorral::pool
