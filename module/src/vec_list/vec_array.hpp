// The values owned by VecList and VecListIterator objects.
#pragma once

#include <cstddef>
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
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}

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
