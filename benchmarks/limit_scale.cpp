// The machine's limit for a batch operation that returns a new array: out = 2 * in over
// `doubles` doubles, split in halves over `threads` threads, into freshly allocated output
// (advised for transparent huge pages unless "plain" is given). Prints the median in ms.
//
//     limit_scale DOUBLES THREADS REPEATS [huge|plain|touched]
#include <sys/mman.h>

#include <algorithm>
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

void scale(const double* in, double* out, std::size_t n, std::size_t threads) {
    std::vector<std::thread> pool;
    const auto piece = [&](std::size_t t) {
        const std::size_t begin = n * t / threads, end = n * (t + 1) / threads;
        for (std::size_t i = begin; i < end; ++i) out[i] = 2.0 * in[i];
    };
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(piece, t);
    piece(0);
    for (auto& th : pool) th.join();
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

    double* in = allocate(n, true);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<double>(i % 1000) * 0.5;
    double* kept = touched ? allocate(n, true) : nullptr;
    if (kept) std::memset(kept, 0, n * sizeof(double));

    std::vector<double> times;
    double check = 0.0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        double* out = kept ? kept : allocate(n, advise);
        scale(in, out, n, threads);
        const auto stop = std::chrono::steady_clock::now();
        check += out[n / 3];
        if (!kept) std::free(out);
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f %g\n", times[times.size() / 2], check);
    return 0;
}
