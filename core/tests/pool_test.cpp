#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pool/pool.hpp"

namespace pool = quorral::pool;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});
const double kNegNan = std::bit_cast<double>(std::uint64_t{0xfff8000000000000});

// Pieces a job was split into, in the order they were recorded.
struct Pieces {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> list;

    void add(std::size_t begin, std::size_t end) {
        std::lock_guard lock(mutex);
        list.emplace_back(begin, end);
    }
    // True when the pieces are non-empty and tile [0, n) exactly.
    bool tile(std::size_t n) {
        std::sort(list.begin(), list.end());
        std::size_t next = 0;
        for (const auto& [begin, end] : list) {
            if (begin != next || end <= begin) return false;
            next = end;
        }
        return next == n;
    }
};

std::vector<double> squares_map(std::size_t n) {
    std::vector<double> out(n, -1.0);
    pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = static_cast<double>(i) * static_cast<double>(i);
    });
    return out;
}

std::optional<pool::Best> sequential_min(const std::vector<double>& keys) {
    std::optional<pool::Best> best;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!best || pool::total_order_less(keys[i], best->key)) best = pool::Best{i, keys[i]};
    }
    return best;
}

std::optional<pool::Best> pool_min(const std::vector<double>& keys) {
    return pool::min_by_key(keys.size(), [&](std::size_t i) { return keys[i]; });
}

void expect_same(const std::optional<pool::Best>& got, const std::optional<pool::Best>& want) {
    ASSERT_EQ(got.has_value(), want.has_value());
    if (!want) return;
    EXPECT_EQ(got->index, want->index);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got->key), std::bit_cast<std::uint64_t>(want->key));
}

}  // namespace

TEST(TotalOrder, AscendingSequence) {
    const double denormal = std::numeric_limits<double>::denorm_min();
    const std::vector<double> ascending{kNegNan, -kInf, -1e308, -1.0, -denormal, -0.0,
                                        0.0,     denormal, 1.0,  1e308, kInf,      kNan};
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            EXPECT_EQ(pool::total_order_less(ascending[i], ascending[j]), i < j) << i << " vs " << j;
        }
    }
}

TEST(TotalOrder, NanPayloadsAndSignedZero) {
    const double quiet_big = std::bit_cast<double>(std::uint64_t{0x7fffffffffffffff});
    const double signalling = std::bit_cast<double>(std::uint64_t{0x7ff0000000000001});
    EXPECT_TRUE(pool::total_order_less(signalling, kNan));
    EXPECT_TRUE(pool::total_order_less(kNan, quiet_big));
    EXPECT_TRUE(pool::total_order_less(kInf, signalling));
    EXPECT_TRUE(pool::total_order_less(-quiet_big, kNegNan));
    EXPECT_TRUE(pool::total_order_less(-0.0, 0.0));
    EXPECT_FALSE(pool::total_order_less(0.0, -0.0));
    EXPECT_FALSE(pool::total_order_less(kNan, kNan));
    static_assert(pool::total_order_less(-0.0, 0.0));
}

struct ParseCase {
    const char* num_threads;
    const char* num_cpus;
    std::size_t expected;
};

class ParseThreadCount : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCount, Reads) {
    const auto& c = GetParam();
    EXPECT_EQ(pool::parse_thread_count(c.num_threads, c.num_cpus, 6), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, ParseThreadCount,
    testing::Values(ParseCase{nullptr, nullptr, 6}, ParseCase{"1", nullptr, 1}, ParseCase{"4", "9", 4},
                    ParseCase{"+3", nullptr, 3}, ParseCase{"007", nullptr, 7},
                    ParseCase{"0", nullptr, 6}, ParseCase{"0", "9", 6}, ParseCase{"+0", "9", 6},
                    ParseCase{"", "9", 9}, ParseCase{"+", "9", 9}, ParseCase{"-1", "9", 9},
                    ParseCase{"-0", nullptr, 6}, ParseCase{" 2", "9", 9}, ParseCase{"2 ", "9", 9},
                    ParseCase{"2x", "9", 9}, ParseCase{"++2", "9", 9}, ParseCase{"abc", nullptr, 6},
                    ParseCase{"18446744073709551615", nullptr, 18446744073709551615u},
                    ParseCase{"18446744073709551616", "9", 9}, ParseCase{"99999999999999999999999", nullptr, 6},
                    ParseCase{nullptr, "5", 5}, ParseCase{nullptr, "+5", 5}, ParseCase{nullptr, "0", 6},
                    ParseCase{nullptr, "-5", 6}, ParseCase{nullptr, "", 6}, ParseCase{"x", "y", 6}));

TEST(Pool, AvailableProcessorsAndSize) {
    EXPECT_GE(pool::available_processors(), 1u);
    const std::size_t n = pool::workers();
    EXPECT_GE(n, 1u);
    EXPECT_EQ(pool::workers(), n);
}

// Each case runs in a fresh process so that the pool is created under the given environment.
struct EnvCase {
    const char* num_threads;
    const char* num_cpus;
    std::size_t expected;  // 0: the available processors
};

class PoolEnvironment : public testing::TestWithParam<EnvCase> {};

TEST_P(PoolEnvironment, SizesPoolOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto c = GetParam();
    EXPECT_EXIT(
        {
            auto set = [](const char* name, const char* value) {
                value ? setenv(name, value, 1) : unsetenv(name);
            };
            set("RAYON_NUM_THREADS", c.num_threads);
            set("RAYON_RS_NUM_CPUS", c.num_cpus);
            const std::size_t want = c.expected ? c.expected : pool::available_processors();
            bool ok = pool::workers() == want;
            setenv("RAYON_NUM_THREADS", "17", 1);
            ok = ok && squares_map(1000)[999] == 999.0 * 999.0 && pool::workers() == want;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolEnvironment,
                         testing::Values(EnvCase{"3", "5", 3}, EnvCase{"1", nullptr, 1}, EnvCase{"0", "5", 0},
                                         EnvCase{nullptr, "5", 5}, EnvCase{"bad", nullptr, 0}));

// Runs jobs of busy pieces under 4 workers per processor; exits 0 when they ran on more than one
// thread but never on more threads at once than processors (one more while a waiter resumes).
[[noreturn]] void run_busy_jobs_on_many_workers() {
    const std::size_t processors = pool::available_processors();
    setenv("RAYON_NUM_THREADS", std::to_string(4 * processors).c_str(), 1);
    std::atomic<std::size_t> running{0};
    std::atomic<std::size_t> most{0};
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    for (int job = 0; job < 20; ++job) {
        pool::parallel_for(256, [&](std::size_t begin, std::size_t end) {
            const std::size_t now = running.fetch_add(1) + 1;
            std::size_t seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            {
                std::lock_guard lock(mutex);
                if (std::find(threads.begin(), threads.end(), std::this_thread::get_id()) == threads.end())
                    threads.push_back(std::this_thread::get_id());
            }
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20) * (end - begin);
            while (std::chrono::steady_clock::now() < until) {
            }
            running.fetch_sub(1);
        });
    }
    std::fprintf(stderr, "at most %zu at once on %zu processors, %zu threads\n", most.load(), processors,
                 threads.size());
    const bool spread = threads.size() >= std::min<std::size_t>(2, processors);
    std::exit(most.load() <= processors + 1 && spread ? 0 : 1);
}

TEST(Pool, PiecesRunAtOnceOnNoMoreThreadsThanProcessors) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_busy_jobs_on_many_workers(), testing::ExitedWithCode(0), "");
}

class ParallelFor : public testing::TestWithParam<std::size_t> {};

TEST_P(ParallelFor, CoversEachIndexOnceInOrder) {
    const std::size_t n = GetParam();
    std::vector<std::atomic<int>> hits(n);
    Pieces pieces;
    std::atomic<bool> ascending{true};
    pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
        pieces.add(begin, end);
        std::size_t last = begin;
        for (std::size_t i = begin; i < end; ++i) {
            if (i < last) ascending = false;
            last = i;
            hits[i].fetch_add(1, std::memory_order_relaxed);
        }
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
    EXPECT_TRUE(ascending.load());
    EXPECT_TRUE(pieces.tile(n));
    if (n >= 2) {
        EXPECT_GE(pieces.list.size(), 2u);
    }

    const auto out = squares_map(n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], static_cast<double>(i) * static_cast<double>(i));
}

INSTANTIATE_TEST_SUITE_P(Pool, ParallelFor, testing::Values(0, 1, 2, 3, 5, 7, 64, 1001, 100003, 1000000));

TEST(ParallelFor, SmallRangesRunOnCallingThread) {
    int calls = 0;
    pool::parallel_for(0, [&](std::size_t, std::size_t) { ++calls; });
    EXPECT_EQ(calls, 0);

    std::thread::id ran_on;
    std::pair<std::size_t, std::size_t> range{9, 9};
    pool::parallel_for(1, [&](std::size_t begin, std::size_t end) {
        ++calls;
        ran_on = std::this_thread::get_id();
        range = {begin, end};
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_EQ(range, (std::pair<std::size_t, std::size_t>{0, 1}));

    EXPECT_THROW(pool::parallel_for(1, [](std::size_t, std::size_t) { throw std::logic_error("one"); }),
                 std::logic_error);
}

TEST(ParallelFor, GrainBoundsPieceLengths) {
    for (const std::size_t grain : {std::size_t{0}, std::size_t{1}, std::size_t{100}, std::size_t{4096}}) {
        for (const std::size_t n : {std::size_t{1}, std::size_t{99}, std::size_t{199}, std::size_t{200},
                                    std::size_t{8191}, std::size_t{8192}, std::size_t{100000}}) {
            Pieces pieces;
            std::atomic<bool> off_caller{false};
            const auto caller = std::this_thread::get_id();
            pool::parallel_for(
                n,
                [&](std::size_t begin, std::size_t end) {
                    pieces.add(begin, end);
                    if (std::this_thread::get_id() != caller) off_caller = true;
                },
                grain);
            ASSERT_TRUE(pieces.tile(n)) << "grain " << grain << ", n " << n;
            if (n < 2 * std::max<std::size_t>(grain / pool::detail::AWAKE_SHARE, 1)) {
                EXPECT_EQ(pieces.list.size(), 1u) << "grain " << grain << ", n " << n;
                EXPECT_FALSE(off_caller.load());
            } else if (n < 2 * std::max<std::size_t>(grain, 1)) {
                // Whole on the caller, or halved for a worker that was awake.
                if (pieces.list.size() != 1) {
                    ASSERT_EQ(pieces.list.size(), 2u) << "grain " << grain << ", n " << n;
                    EXPECT_EQ(pieces.list[0].second, n / 2) << "grain " << grain << ", n " << n;
                }
            } else {
                EXPECT_GE(pieces.list.size(), 2u) << "grain " << grain << ", n " << n;
                for (const auto& [begin, end] : pieces.list) EXPECT_GE(end - begin, grain) << "n " << n;
            }
            std::vector<double> keys(n);
            for (std::size_t i = 0; i < n; ++i) keys[i] = static_cast<double>((i * 7919) % 1009);
            expect_same(pool::min_by_key(n, [&](std::size_t i) { return keys[i]; }, grain), sequential_min(keys));
        }
    }
}

// Short jobs in quick succession keep a worker awake, which then takes one half of each.
TEST(ParallelFor, ShortJobsInALoopAreHalvedForAnAwakeWorker) {
    if (pool::available_processors() < 2 || pool::workers() < 1) GTEST_SKIP() << "needs a worker and two processors";
    const std::size_t grain = 4096, n = grain;  // twice the awake share, short of twice the grain
    const auto caller = std::this_thread::get_id();
    std::size_t halved = 0, jobs = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (halved < 10 && std::chrono::steady_clock::now() < until) {
        Pieces pieces;
        std::atomic<bool> off_caller{false};
        pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
            pieces.add(begin, end);
            if (std::this_thread::get_id() != caller) off_caller = true;
            // A few microseconds of work, in which the worker takes the other half.
            const auto busy = std::chrono::steady_clock::now() + std::chrono::microseconds(5);
            while (std::chrono::steady_clock::now() < busy) {
            }
        }, grain);
        ASSERT_TRUE(pieces.tile(n));
        if (pieces.list.size() == 2) {
            EXPECT_EQ(pieces.list[0], (std::pair<std::size_t, std::size_t>{0, n / 2}));
            halved += off_caller.load() ? 1 : 0;
        }
        ++jobs;
    }
    EXPECT_GE(halved, 10u) << "after " << jobs << " jobs";
}

// Jobs from two threads in turn keep the processors busy themselves: none is halved.
TEST(ParallelFor, ShortJobsFromTwoThreadsInTurnStayWhole) {
    const std::size_t grain = 4096, n = grain;
    std::atomic<int> turn{0};
    std::atomic<std::size_t> split_jobs{0};
    const auto take_turns = [&](int me) {
        for (int k = 0; k < 300; ++k) {
            while (turn.load() != me) {
            }
            std::atomic<int> pieces{0};
            pool::parallel_for(n, [&](std::size_t, std::size_t) { ++pieces; }, grain);
            if (pieces.load() != 1) ++split_jobs;
            turn.store(1 - me);
        }
    };
    std::thread other(take_turns, 1);
    take_turns(0);
    other.join();
    EXPECT_EQ(split_jobs.load(), 0u);
}

TEST(ParallelFor, ConstBody) {
    std::vector<std::atomic<int>> hits(100);
    const auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++hits[i];
    };
    pool::parallel_for(hits.size(), body);
    for (auto& h : hits) EXPECT_EQ(h.load(), 1);
}

TEST(ParallelFor, FailureWaitsForAllPiecesThenRethrows) {
    for (const std::size_t n : {2u, 3u, 1000u, 100000u}) {
        std::atomic<int> started{0}, ended{0};
        Pieces pieces;
        std::string message;
        try {
            pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
                ++started;
                pieces.add(begin, end);
                struct Guard {
                    std::atomic<int>& ended;
                    ~Guard() { ++ended; }
                } guard{ended};
                if (begin == 0) throw std::runtime_error("piece at 0");
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
            ADD_FAILURE() << "no exception for n = " << n;
        } catch (const std::runtime_error& e) {
            message = e.what();
            EXPECT_EQ(started.load(), ended.load()) << "n = " << n;
        }
        EXPECT_EQ(message, "piece at 0");
        EXPECT_TRUE(pieces.tile(n)) << "n = " << n;
        EXPECT_EQ(ended.load(), static_cast<int>(pieces.list.size()));
    }
    EXPECT_EQ(squares_map(5000)[4999], 4999.0 * 4999.0);
}

TEST(ParallelFor, EveryPieceFailingRethrowsOne) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> ended{0};
        std::atomic<int> pieces{0};
        try {
            pool::parallel_for(64, [&](std::size_t begin, std::size_t) {
                ++pieces;
                ++ended;
                throw static_cast<int>(begin);
            });
            ADD_FAILURE();
        } catch (int begin) {
            EXPECT_GE(begin, 0);
            EXPECT_LT(begin, 64);
            EXPECT_EQ(ended.load(), pieces.load());
        }
    }
    EXPECT_EQ(squares_map(3)[2], 4.0);
}

TEST(ParallelFor, NestedJobs) {
    constexpr std::size_t outer = 16, inner = 500;
    std::vector<double> out(outer * inner);
    pool::parallel_for(outer, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            pool::parallel_for(inner, [&](std::size_t b, std::size_t e) {
                for (std::size_t c = b; c < e; ++c) out[r * inner + c] = static_cast<double>(r * inner + c);
            });
        }
    });
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<double>(i));
}

TEST(ParallelFor, ConcurrentSubmitters) {
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int job = 0; job < 300; ++job) {
                const std::size_t n = static_cast<std::size_t>((job * 37 + t * 11) % 3000);
                const auto out = squares_map(n);
                for (std::size_t i = 0; i < n; ++i) {
                    if (out[i] != static_cast<double>(i) * static_cast<double>(i)) ++wrong;
                }
                std::vector<double> keys(n);
                for (std::size_t i = 0; i < n; ++i) keys[i] = static_cast<double>((i * 7919 + job) % 1009);
                const auto got = pool_min(keys);
                const auto want = sequential_min(keys);
                if (got.has_value() != want.has_value() || (want && got->index != want->index)) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(MinByKey, EmptyAndSingle) {
    EXPECT_FALSE(pool::min_by_key(0, [](std::size_t) { return 1.0; }).has_value());
    std::thread::id ran_on;
    const auto one = pool::min_by_key(1, [&](std::size_t i) {
        ran_on = std::this_thread::get_id();
        return static_cast<double>(i) - 2.5;
    });
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->index, 0u);
    EXPECT_EQ(one->key, -2.5);
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(MinByKey, TiesTakeLowestIndex) {
    for (const std::size_t n : {2u, 3u, 17u, 1000u, 100001u}) {
        expect_same(pool_min(std::vector<double>(n, 4.0)), pool::Best{0, 4.0});
        std::vector<double> keys(n, 9.0);
        keys[n - 1] = 1.0;
        if (n > 2) keys[n / 2] = 1.0;
        expect_same(pool_min(keys), pool::Best{n > 2 ? n / 2 : n - 1, 1.0});
    }
}

TEST(MinByKey, TotalOrderKeys) {
    expect_same(pool_min({0.0, -0.0, 0.0}), pool::Best{1, -0.0});
    expect_same(pool_min({kNan, 3.0, kInf, kNan}), pool::Best{1, 3.0});
    expect_same(pool_min({kNan, kNan}), pool::Best{0, kNan});
    expect_same(pool_min({kNan, -kInf, kNegNan, 1.0, kNegNan}), pool::Best{2, kNegNan});
    expect_same(pool_min({kInf, kNan, kInf}), pool::Best{0, kInf});
}

TEST(MinByKey, MatchesSequentialScan) {
    std::uint64_t state = 12345;
    auto next = [&] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return state >> 33;
    };
    for (const std::size_t n : {2u, 5u, 63u, 1024u, 77777u, 1000000u}) {
        std::vector<double> keys(n);
        for (auto& k : keys) k = static_cast<double>(next() % 5000) - 2500.0;
        keys[next() % n] = kNan;
        expect_same(pool_min(keys), sequential_min(keys));
    }
}

TEST(MinByKey, StridedCallShape) {
    std::vector<double> a(3000);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::fabs(static_cast<double>(i) - 1234.0);
    const std::size_t stride = 10;
    const auto best = pool::min_by_key(a.size() / stride, [&](std::size_t s) { return a[s * stride]; });
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->index, 123u);
    EXPECT_EQ(best->key, 4.0);
}

TEST(MinByKey, FailingKeyRethrows) {
    std::atomic<int> calls{0};
    EXPECT_THROW(pool::min_by_key(1000,
                                  [&](std::size_t i) {
                                      ++calls;
                                      if (i == 999) throw std::out_of_range("last");
                                      return 1.0;
                                  }),
                 std::out_of_range);
    EXPECT_GE(calls.load(), 1);
    expect_same(pool_min({3.0, 2.0, 1.0}), pool::Best{2, 1.0});
}
