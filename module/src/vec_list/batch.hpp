// The element-wise loops shared by the VecList operations.
#pragma once

#include <cstddef>

#include "pool.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

// The shortest piece worth handing to another thread: waking a worker and moving
// the data to it take microseconds, as long as a cheap operation takes for about
// 8192 elements. normalize and rotate cost several times as much per element.
inline constexpr std::size_t CHEAP_GRAIN = 8192;
inline constexpr std::size_t COSTLY_GRAIN = 2048;

// out[i] = f(in[i]) for every element, on the pool. Each piece works on its
// own copy of f, whose values the stores to out cannot change, so that they
// stay in registers; f should hold its operands by value.
template <class Out, class F>
void map_into(const VecStorage& in, Out* out, const F& f, std::size_t grain = CHEAP_GRAIN) {
    const galdrin::Vec3d* src = in.data();
    pool::parallel_for(in.size(), [src, out, &f](std::size_t begin, std::size_t end) {
        const F g = f;
        for (std::size_t i = begin; i < end; ++i) out[i] = g(src[i]);
    }, grain);
}

template <class F>
VecArray map_vectors(const VecArray& a, const F& f, std::size_t grain = CHEAP_GRAIN) {
    VecArray result;
    result.items.resize(a.items.size());
    map_into(a.items, result.items.data(), f, grain);
    return result;
}

// VecList.writable(): an exporter of a writable (n, 3) float64 buffer of the
// elements, holding the list for writing until it and its buffers are released
// (writable.cpp).
PyObject* writable_view(PyObject* list);

// The pairwise operations, reductions, gathers and the writable view of VecList (pairwise.cpp).
void add_pairwise_operations(ClassSpec& spec);

}  // namespace quorral
