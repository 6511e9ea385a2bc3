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
//     limit_scale DOUBLES THREADS REPEATS [huge|plain|touched] [scale|add|sum|factors|dot]
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
