// The values owned by VecList and VecListIterator objects.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
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
// Large arrays ask for transparent huge pages over their whole 2 MB pages:
// otherwise the page faults of the first touch cost more than a copy. Memory
// comes from the ordinary heap, which hands freed arrays out again (up to tens
// of MB), so that repeated operations on mid-sized lists touch no new pages.
template <class T>
struct UninitAllocator : std::allocator<T> {
    static constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{1} << 21;
    static constexpr std::size_t LARGE = std::size_t{4} << 20;

    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        T* p = std::allocator<T>::allocate(n);
        if (n * sizeof(T) >= LARGE) {
            const auto begin = (reinterpret_cast<std::uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
            const auto end = reinterpret_cast<std::uintptr_t>(p + n) & ~(HUGE_PAGE - 1);
            madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
        }
        return p;
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
