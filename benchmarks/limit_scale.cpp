// The machine's limit for a batch operation that returns a new array: out = 2 * in over
// `doubles` doubles, split in halves over `threads` threads, into freshly allocated output
// (advised for transparent huge pages unless "plain" is given). Prints the median in ms.
// Kernel "add" reads two inputs instead (out = a + b, the traffic of an operation on two
// lists), kernel "sum" reads one and writes nothing (a reduction). Two more take DOUBLES as
// three per vector: "factors" reads the vectors and one factor per vector and writes the
// vectors (out = a * f, the traffic of a list scaled per element), "dot" reads two inputs and
// writes one double per vector (out = a . b, the traffic of an operation on two lists with
// float results).
//
// Mode "kept" is the limit inside the cache: out = 2 * in into the same output on every call,
// split in halves between the caller and one persistent worker that spins for its half (no
// thread start, no pause; the two pinned to processors 0 and 1), each call repeated until a
// repetition takes about a millisecond; prints the median per call in ms.
//
//     limit_scale DOUBLES THREADS REPEATS [huge|plain|touched|kept] [scale|add|sum|factors|dot]
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

double* allocate(std::size_t doubles, bool advise) {
    const std::size_t bytes = (doubles * sizeof(double) + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, bytes);
    if (!p) std::exit(1);
    if (advise) madvise(p, bytes, MADV_HUGEPAGE);
    return static_cast<double*>(p);
}

enum class Kernel { Scale, Add, Sum, Factors, Dot };

double run(Kernel kernel, const double* in, const double* in2, double* out, std::size_t n, std::size_t threads) {
    std::vector<std::thread> pool;
    std::vector<double> sums(threads);
    const auto piece = [&](std::size_t t) {
        const std::size_t begin = n * t / threads, end = n * (t + 1) / threads;
        if (kernel == Kernel::Factors || kernel == Kernel::Dot) {
            const std::size_t vectors = n / 3, first = vectors * t / threads, last = vectors * (t + 1) / threads;
            if (kernel == Kernel::Factors) {
                for (std::size_t i = first; i < last; ++i)
                    for (std::size_t k = 0; k < 3; ++k) out[3 * i + k] = in[3 * i + k] * in2[i];
            } else {
                for (std::size_t i = first; i < last; ++i)
                    out[i] = in[3 * i] * in2[3 * i] + in[3 * i + 1] * in2[3 * i + 1] + in[3 * i + 2] * in2[3 * i + 2];
            }
        } else if (kernel == Kernel::Scale) {
            for (std::size_t i = begin; i < end; ++i) out[i] = 2.0 * in[i];
        } else if (kernel == Kernel::Add) {
            for (std::size_t i = begin; i < end; ++i) out[i] = in[i] + in2[i];
        } else {
            double s[8] = {};  // independent chains, so that the loads and not the additions set the time
            std::size_t i = begin;
            for (; i + 8 <= end; i += 8)
                for (int k = 0; k < 8; ++k) s[k] += in[i + k];
            for (; i < end; ++i) s[0] += in[i];
            for (int k = 1; k < 8; ++k) s[0] += s[k];
            sums[t] = s[0];
        }
    };
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(piece, t);
    piece(0);
    for (auto& th : pool) th.join();
    double total = 0.0;
    for (double v : sums) total += v;
    return total;
}

// Vectorised, as the library's own loops are; inside the cache the loop's width counts.
[[gnu::noinline, gnu::optimize("O3"), gnu::target("avx2")]] void scale(const double* __restrict in,
                                                                      double* __restrict out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = 2.0 * in[i];
}

// Keeps a thread on one processor, so that the two spinning threads never share one.
void pin(pthread_t thread, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(thread, sizeof set, &set);  // a hint: the kernel runs either way
}

// Median ms per call of out = 2 * in over n doubles, on the caller and (threads > 1) one worker.
double kept_scale(const double* in, double* out, std::size_t n, std::size_t threads, int repeats) {
    const std::size_t half = threads > 1 ? n / 2 : n;
    std::atomic<long> go{0}, done{0};
    std::thread worker;
    if (threads > 1) {
        worker = std::thread([&] {
            for (long seen = 0;;) {
                long g;
                while ((g = go.load(std::memory_order_acquire)) == seen) {
                }
                if (g < 0) return;
                seen = g;
                scale(in + half, out + half, n - half);
                done.store(g, std::memory_order_release);
            }
        });
    }
    if (threads > 1) pin(worker.native_handle(), 1);
    pin(pthread_self(), 0);
    long generation = 0;
    const auto call = [&] {
        if (threads > 1) go.store(++generation, std::memory_order_release);
        scale(in, out, half);
        if (threads > 1)
            while (done.load(std::memory_order_acquire) != generation) {
            }
    };
    std::size_t calls = 1;
    for (;; calls *= 2) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t c = 0; c < calls; ++c) call();
        if (std::chrono::steady_clock::now() - start > std::chrono::microseconds(500)) break;
    }
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t c = 0; c < calls; ++c) call();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
                        static_cast<double>(calls));
    }
    if (threads > 1) {
        go.store(-1, std::memory_order_release);
        worker.join();
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::size_t n = std::strtoull(argv[1], nullptr, 10);
    const std::size_t threads = std::max<std::size_t>(1, std::strtoull(argv[2], nullptr, 10));
    const int repeats = std::atoi(argv[3]);
    const char* mode = argc > 4 ? argv[4] : "huge";
    const bool advise = std::strcmp(mode, "plain") != 0;
    const bool touched = std::strcmp(mode, "touched") == 0;
    const char* kernel_name = argc > 5 ? argv[5] : "scale";
    const Kernel kernel = std::strcmp(kernel_name, "add") == 0       ? Kernel::Add
                          : std::strcmp(kernel_name, "sum") == 0     ? Kernel::Sum
                          : std::strcmp(kernel_name, "factors") == 0 ? Kernel::Factors
                          : std::strcmp(kernel_name, "dot") == 0     ? Kernel::Dot
                                                                     : Kernel::Scale;
    if (std::strcmp(mode, "kept") == 0) {
        double* in = allocate(n, false);
        double* out = allocate(n, false);
        for (std::size_t i = 0; i < n; ++i) in[i] = out[i] = static_cast<double>(i % 1000) * 0.5;
        std::printf("%.6f %g\n", kept_scale(in, out, n, threads, repeats), out[n / 3]);
        return 0;
    }
    const bool two = kernel == Kernel::Add || kernel == Kernel::Factors || kernel == Kernel::Dot;
    const std::size_t second = kernel == Kernel::Factors ? n / 3 : n;  // doubles of the second input
    const std::size_t written = kernel == Kernel::Dot ? n / 3 : n;     // doubles of the output

    double* in = allocate(n, true);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<double>(i % 1000) * 0.5;
    double* in2 = two ? allocate(second, true) : nullptr;
    if (in2)
        for (std::size_t i = 0; i < second; ++i) in2[i] = static_cast<double>(i % 777) * 0.25;
    double* kept = touched ? allocate(written, true) : nullptr;
    if (kept) std::memset(kept, 0, written * sizeof(double));

    std::vector<double> times;
    double check = 0.0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        if (kernel == Kernel::Sum) {
            check += run(kernel, in, nullptr, nullptr, n, threads);
            const auto stop = std::chrono::steady_clock::now();
            times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
            continue;
        }
        double* out = kept ? kept : allocate(written, advise);
        run(kernel, in, in2, out, n, threads);
        const auto stop = std::chrono::steady_clock::now();
        check += out[written / 3];
        if (!kept) std::free(out);
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f %g\n", times[times.size() / 2], check);
    return 0;
}
