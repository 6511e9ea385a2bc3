// The batch plumbing of the list classes: element-wise maps over one list, or
// over two lists pair by pair, on the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "pool/pool.hpp"
#include "summation.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

// The shortest piece worth handing to another thread: waking a worker and moving
// the data to it take microseconds, as long as a cheap operation takes for about
// 8192 elements. normalize and rotate cost several times as much per element.
inline constexpr std::size_t CHEAP_GRAIN = 8192;
inline constexpr std::size_t COSTLY_GRAIN = 2048;

#if defined(__x86_64__)
// Whether the element loops may take their AVX2 variants; asked once.
inline bool has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#endif

// out[i] = f(in[i]) for every element, on the pool. Each piece works on its
// own copy of f, whose values the stores to out cannot change, so that they
// stay in registers; f should hold its operands by value.
template <class Out, class In, class F>
void map_into(const In& in, Out* out, const F& f, std::size_t grain = CHEAP_GRAIN) {
    const auto* src = in.data();
    pool::parallel_for(in.size(), [src, out, &f](std::size_t begin, std::size_t end) {
        const F g = f;
        for (std::size_t i = begin; i < end; ++i) out[i] = g(src[i]);
    }, grain);
}

// A new list of f(element); the result's element type is what f returns.
template <class E, class F>
auto map_elements(const ElementList<E>& a, const F& f, std::size_t grain = CHEAP_GRAIN) {
    ElementList<std::remove_cvref_t<decltype(f(a.items[0]))>> result;
    result.items.resize(a.items.size());
    map_into(a.items, result.items.data(), f, grain);
    return result;
}

// ValueError for two operands whose lengths differ, named by their parameters.
inline InvalidValue length_mismatch(const char* left, std::size_t m, const char* right, std::size_t n) {
    return InvalidValue(std::string("lengths differ: ") + left + " has " + std::to_string(m) + " elements, " + right +
                        " has " + std::to_string(n));
}

// out[i] = f(a[i], b[i]) for every pair, on the pool, as map_into does; a and
// b (named by their parameters) must be of one length.
template <class Out, class A, class B, class F>
void map_pairs_into(const char* a_name, const A& a, const char* b_name, const B& b, Out* out, const F& f,
                    std::size_t grain = CHEAP_GRAIN) {
    if (a.size() != b.size()) throw length_mismatch(a_name, a.size(), b_name, b.size());
    const auto* x = a.data();
    const auto* y = b.data();
    pool::parallel_for(a.size(), [x, y, out, &f](std::size_t begin, std::size_t end) {
        const F g = f;
        for (std::size_t i = begin; i < end; ++i) out[i] = g(x[i], y[i]);
    }, grain);
}

// f(x[i], y[i]) for i in [0, n), on its own copy of f (see map_into); x and y
// are distinct arrays, so that the stores to one cannot change the other.
template <class X, class Y, class F>
void update_range(X* __restrict x, Y* __restrict y, std::size_t n, const F& f) {
    const F g = f;
    for (std::size_t i = 0; i < n; ++i) g(x[i], y[i]);
}

// f(a[i], b[i]) for every pair, changing both in place, on the pool; a and b
// (named by their parameters) are two lists of one length, checked before
// anything changes.
template <class A, class B, class F>
void update_pairs(const char* a_name, A& a, const char* b_name, B& b, const F& f, std::size_t grain = CHEAP_GRAIN) {
    if (a.size() != b.size()) throw length_mismatch(a_name, a.size(), b_name, b.size());
    auto* x = a.data();
    auto* y = b.data();
    pool::parallel_for(a.size(), [x, y, &f](std::size_t begin, std::size_t end) {
        update_range(x + begin, y + begin, end - begin, f);
    }, grain);
}

// A new list of f(a[i], b[i]), as map_pairs_into.
template <class A, class B, class F>
auto map_pairs(const char* a_name, const A& a, const char* b_name, const B& b, const F& f,
               std::size_t grain = CHEAP_GRAIN) {
    ElementList<std::remove_cvref_t<decltype(f(a[0], b[0]))>> result;
    result.items.resize(a.size());
    map_pairs_into(a_name, a, b_name, b, result.items.data(), f, grain);
    return result;
}

// d[k] = f(a[k], b[k]) for n components, which the compiler packs into
// registers (four to one with AVX2): each lane is the scalar operation on its
// own pair of components.
template <class Op>
void component_pairs(const double* __restrict a, const double* __restrict b, double* __restrict d, std::size_t n,
                     const Op& op) {
    const Op f = op;
    for (std::size_t k = 0; k < n; ++k) d[k] = f(a[k], b[k]);
}

#if defined(__x86_64__)
// The same loop, inlined here and compiled for AVX2.
template <class Op>
[[gnu::target("avx2"), gnu::flatten]] void component_pairs_avx2(const double* __restrict a,
                                                                const double* __restrict b, double* __restrict d,
                                                                std::size_t n, const Op& op) {
    component_pairs(a, b, d, n, op);
}
#endif

// A new VecList of op applied to every pair of components alike (x with x, y
// with y, z with z), for operations that treat the components independently;
// a and b must be of one length, as for map_pairs.
template <class Op>
ElementList<galdrin::Vec3d> map_component_pairs(const char* a_name, const ElementList<galdrin::Vec3d>& a,
                                                const char* b_name, const ElementList<galdrin::Vec3d>& b,
                                                const Op& op) {
    const std::size_t n = a.items.size();
    if (n != b.items.size()) throw length_mismatch(a_name, n, b_name, b.items.size());
#if defined(__x86_64__)
    const auto loop = has_avx2() ? &component_pairs_avx2<Op> : &component_pairs<Op>;
#else
    const auto loop = &component_pairs<Op>;
#endif
    ElementList<galdrin::Vec3d> result;
    result.items.resize(n);
    static_assert(sizeof(galdrin::Vec3d) == 3 * sizeof(double));
    const auto* x = reinterpret_cast<const double*>(a.items.data());
    const auto* y = reinterpret_cast<const double*>(b.items.data());
    auto* d = reinterpret_cast<double*>(result.items.data());
    pool::parallel_for(n, [x, y, d, loop, &op](std::size_t begin, std::size_t end) {
        loop(x + 3 * begin, y + 3 * begin, d + 3 * begin, 3 * (end - begin), op);
    }, CHEAP_GRAIN);
    return result;
}

// An operand that is one element (the same for every element of the list)
// or a list of them (pair by pair). Either is entered for reading.
template <class E>
struct OneOrList {
    const E* one = nullptr;
    const ElementList<E>* list = nullptr;
};

template <class E>
struct Arg<OneOrList<E>> {
    Arg<const E&> one;
    Arg<const ElementList<E>&> list;
    OneOrList<E> value;
    bool load(PyObject* obj) {
        if (instance_of<ElementList<E>>(obj)) {
            if (!list.load(obj)) return false;
            value.list = &list.get();
            return true;
        }
        if (instance_of<E>(obj)) {
            if (!one.load(obj)) return false;
            value.one = &one.get();
            return true;
        }
        static const std::string target = std::string(PyClass<E>::name) + " | " + PyClass<ElementList<E>>::name;
        raise_not_instance(obj, target.c_str());
        return false;
    }
    OneOrList<E> get() const { return value; }
};

// out[i] = f(a[i], b) with b the one operand, or f(a[i], b[i]).
template <class Out, class E, class B, class F>
void map_with_into(const ElementList<E>& a, OneOrList<B> other, const char* what, Out* out, const F& f,
                   std::size_t grain = CHEAP_GRAIN) {
    if (other.list) return map_pairs_into("self", a.items, what, other.list->items, out, f, grain);
    const B b = *other.one;
    map_into(a.items, out, [b, f](const E& e) { return f(e, b); }, grain);
}

// A new list of f(a[i], b) or f(a[i], b[i]), as map_with_into.
template <class E, class B, class F>
auto map_with(const ElementList<E>& a, OneOrList<B> other, const char* what, const F& f,
              std::size_t grain = CHEAP_GRAIN) {
    ElementList<std::remove_cvref_t<decltype(f(a.items[0], *other.one))>> result;
    result.items.resize(a.items.size());
    map_with_into(a, other, what, result.items.data(), f, grain);
    return result;
}

// A Python list of f(element) (floats or bools).
template <class T, class E, class F>
PyObject* map_list(const ElementList<E>& a, const F& f) {
    const std::size_t n = a.items.size();
    UninitAllocator<T> alloc;
    const auto release = [&alloc, n](T* p) { alloc.deallocate(p, n); };
    const std::unique_ptr<T[], decltype(release)> out(alloc.allocate(n), release);
    map_into(a.items, out.get(), f);
    return list_of(std::span<const T>(out.get(), n));
}

// out[i] = dot(a[i], b[i]), or distance_to(a[i], b[i]), for i < n on the
// calling thread, four at a time where the processor has AVX2.
void dots(const galdrin::Vec3d* a, const galdrin::Vec3d* b, double* out, std::size_t n);
void distances(const galdrin::Vec3d* a, const galdrin::Vec3d* b, double* out, std::size_t n);

// VecList.writable(): an exporter of a writable (n, 3) float64 buffer of the
// elements, holding the list for writing until it and its buffers are released
// (writable.cpp).
PyObject* writable_view(PyObject* list);

// The pairwise operations, reductions, gathers and the writable view of VecList (pairwise.cpp).
void add_pairwise_operations(ClassSpec& spec);

// Columns, per-element divisors, the perspective divide and the plane test of VecList (columns.cpp).
void add_column_operations(ClassSpec& spec);

// term(0) + ... + term(n - 1) on the core's summation tree: the leaves on the
// pool, then their sums combined here, so that the bits are those of the core's
// one-pass sum whatever the number of workers. Four full leaves are summed side
// by side. With `fill` nullptr they are a quarter of the piece apart, so that
// each chain reads one long run of memory, which the processor prefetches.
// Otherwise four consecutive leaves' terms are first written in index order
// into a block on the stack by fill(first, count, block): terms that take work
// are then computed in one pass over consecutive memory.
template <class T, class Term, class Fill = std::nullptr_t>
T tree_sum_on_pool(std::size_t n, const Term& term, T zero, const Fill& fill = nullptr) {
    constexpr std::size_t L = galdrin::SUM_LEAF;
    const std::size_t m = galdrin::sum_leaves(n);
    const std::unique_ptr<T[]> leaves(new T[m]);
    T* out = leaves.get();
    pool::parallel_for(m, [out, n, &term, &fill](std::size_t begin, std::size_t end) {
        const Term t = term;
        const std::size_t full = std::min(end, n / L);  // leaves before it have SUM_LEAF terms
        std::size_t k = begin;
        if constexpr (std::is_null_pointer_v<Fill>) {
            if (full > k) {
                const std::size_t quarter = (full - k) / 4;
                for (std::size_t j = 0; j < quarter; ++j) galdrin::four_leaf_sums(k + j, quarter, t, out + k + j);
                k += 4 * quarter;
            }
        } else {
            T block[4 * L];
            const auto from_block = [&block](std::size_t j) { return block[j]; };
            for (; k + 4 <= full; k += 4) {
                fill(k * L, 4 * L, block);
                galdrin::four_leaf_sums(0, 1, from_block, out + k);
            }
        }
        for (; k < end; ++k) out[k] = galdrin::leaf_sum(k, n, t);
    }, CHEAP_GRAIN / L);
    if (m == 0) return zero;
    return galdrin::combine_pairwise(0, m, [out](std::size_t k) { return out[k]; });
}

// The weight of element i: 1 for every element, or weights[i]. Each term of a sum is
// multiplied by its weight, exactly so by 1, so that unit weights give the
// bits of the unweighted sums; `total` is the sum of the weights on the tree.
struct UnitWeights {
    double total;
    double operator()(std::size_t) const { return 1.0; }
};
struct GivenWeights {
    const double* w;
    double total;
    double operator()(std::size_t i) const { return w[i]; }
};

// f(weights) for None (unit weights) or n finite weights >= 0 of a positive finite sum.
template <class F>
auto with_weights(std::size_t n, const std::optional<Doubles>& weights, const F& f) {
    if (!weights) return f(UnitWeights{static_cast<double>(n)});
    const std::span<const double> w = weights->values;
    if (w.size() != n) throw length_mismatch("self", n, "weights", w.size());
    for (const double x : w)
        if (!(x >= 0.0 && x <= std::numeric_limits<double>::max())) throw InvalidValue("weights must be finite and at least 0");
    const double* p = w.data();
    const double total = tree_sum_on_pool(n, [p](std::size_t i) { return p[i]; }, 0.0);
    if (!(total > 0.0 && total <= std::numeric_limits<double>::max()))
        throw InvalidValue("the weights must have a positive finite sum");
    return f(GivenWeights{p, total});
}

}  // namespace quorral
