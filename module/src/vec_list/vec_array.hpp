// The values owned by VecList and VecListIterator objects.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "binding/object.hpp"
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

struct VecSnapshot {
    VecStorage items;
    std::size_t position = 0;
};

// The batch operations and operators of VecList (batch.cpp).
void add_batch_operations(ClassSpec& spec);

}  // namespace quorral
