// The element arrays owned by VecList, QuatList and their iterators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "binding/object.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "quat.hpp"
#include "vec3d.hpp"

namespace quorral {

// Arrays of 1 MB and more are mapped, those of 4 MB and more on 2 MB
// boundaries and advised for transparent huge pages, since the page faults of
// a first touch in 4 kB pages cost more than a copy. Freed ones below 32 MB
// stay mapped, up to 16 of them and 64 MB together (BlockCache), for the next
// arrays of about their sizes, so that a program making several mid-sized
// outputs per step touches no new pages; larger ones are always given back.
class LargeBlocks {
public:
    static constexpr std::size_t GRAIN = std::size_t{1} << 16;  // a multiple of any page size
    static constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;
    static constexpr std::size_t MID = std::size_t{1} << 20;
    static constexpr std::size_t LARGE = std::size_t{4} << 20;
    static constexpr std::size_t KEPT = std::size_t{32} << 20;
    static constexpr std::size_t KEPT_TOTAL = std::size_t{64} << 20;

    // `bytes` of MID or more.
    static void* take(std::size_t bytes);
    static void give_back(void* p, std::size_t bytes) noexcept;
    // Advises the whole huge pages within [p, p + bytes) of memory not yet
    // touched, when bytes is LARGE or more: for arrays allocated elsewhere.
    static void advise(void* p, std::size_t bytes) noexcept;

    static constexpr std::size_t round_up(std::size_t x) { return (x + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); }
    // The bytes mapped for an array of `bytes`: whole huge pages from LARGE on, else whole grains.
    static constexpr std::size_t mapped(std::size_t bytes) {
        return bytes < LARGE ? (bytes + GRAIN - 1) & ~(GRAIN - 1) : round_up(bytes);
    }
};

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

    T* allocate(std::size_t n) {
        if (n > PTRDIFF_MAX / sizeof(T)) throw std::bad_array_new_length();
        if (n * sizeof(T) < LargeBlocks::MID) return std::allocator<T>::allocate(n);
        return static_cast<T*>(LargeBlocks::take(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < LargeBlocks::MID) {
            std::allocator<T>::deallocate(p, n);
        } else {
            LargeBlocks::give_back(p, n * sizeof(T));
        }
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

// The values owned by a list object and by its iterator, one template over the
// element type: a plain record of doubles (Vec3d for VecList, Quat for QuatList).
template <class E>
using Storage = std::vector<E, UninitAllocator<E>>;

template <class E>
struct ElementList {
    Storage<E> items;
};

template <class E>
struct ElementSnapshot {
    Storage<E> items;
    std::size_t position = 0;
};

using VecStorage = Storage<galdrin::Vec3d>;
using QuatStorage = Storage<galdrin::Quat>;

// A list pickles as its element array, one block that protocol 5 may carry out of band.
template <class E>
struct PickleState<ElementList<E>> {
    static constexpr std::size_t unit = sizeof(E);
    static constexpr bool repeated = true;
    static constexpr bool out_of_band = true;
    static std::span<const std::byte> state(const ElementList<E>& a) { return std::as_bytes(std::span(a.items)); }
    static ElementList<E> build(std::span<const std::byte> bytes) {
        ElementList<E> a;
        a.items.resize(bytes.size() / unit);
        if (!bytes.empty()) std::memcpy(a.items.data(), bytes.data(), bytes.size());
        return a;
    }
};

// The batch operations and operators of VecList (batch.cpp) and of QuatList (quat_batch.cpp).
void add_batch_operations(ClassSpec& spec);
void add_quat_batch_operations(ClassSpec& spec);

}  // namespace quorral
