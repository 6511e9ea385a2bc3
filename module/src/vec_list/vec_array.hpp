// The values owned by VecList and VecListIterator objects.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "binding/object.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "vec3d.hpp"

namespace quorral {

// Leaves elements uninitialised when a vector grows without a value, so that
// an output array is not cleared before the pool writes every entry of it.
// Large arrays are placed on huge-page boundaries and ask for transparent huge
// pages: otherwise the page faults of the first touch cost more than a copy.
template <class T>
struct UninitAllocator : std::allocator<T> {
    static constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;
    static constexpr std::size_t LARGE = std::size_t{4} << 20;

    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n * sizeof(T) < LARGE) return std::allocator<T>::allocate(n);
        const std::size_t bytes = (n * sizeof(T) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        void* p = std::aligned_alloc(HUGE_PAGE, bytes);
        if (!p) throw std::bad_alloc();
        madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < LARGE)
            std::allocator<T>::deallocate(p, n);
        else
            std::free(p);
    }

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }
};

using VecStorage = std::vector<galdrin::Vec3d, UninitAllocator<galdrin::Vec3d>>;

struct VecArray {
    VecStorage items;
};

// A list pickles as its element array, which protocol 5 takes as the list's buffer export.
template <>
struct PickleState<VecArray> {
    static constexpr std::size_t unit = sizeof(galdrin::Vec3d);
    static constexpr bool repeated = true;
    static constexpr bool out_of_band = true;
    static std::span<const std::byte> state(const VecArray& a) { return std::as_bytes(std::span(a.items)); }
    static VecArray build(std::span<const std::byte> bytes) {
        VecArray a;
        a.items.resize(bytes.size() / unit);
        if (!bytes.empty()) std::memcpy(a.items.data(), bytes.data(), bytes.size());
        return a;
    }
};

struct VecSnapshot {
    VecStorage items;
    std::size_t position = 0;
};

// The batch operations and operators of VecList (batch.cpp).
void add_batch_operations(ClassSpec& spec);

}  // namespace quorral
