#include "vec_list/vec_array.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

namespace quorral {

namespace {

struct Kept {
    std::mutex mutex;
    void* block = nullptr;
    std::size_t size = 0;  // mapped bytes, a multiple of 2 MB
};

Kept& kept() {
    // Never destroyed: lists may still be freed while the process exits.
    static Kept* const instance = new Kept;
    return *instance;
}

// `size` bytes on a 2 MB boundary: one page more is mapped, and what lies
// outside the aligned range is given back.
void* map_aligned(std::size_t size) {
    void* raw = mmap(nullptr, size + LargeBlocks::HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const auto aligned = LargeBlocks::round_up(start);
    if (aligned > start) munmap(raw, aligned - start);
    if (const std::size_t tail = start + LargeBlocks::HUGE_PAGE - aligned; tail > 0)
        munmap(reinterpret_cast<void*>(aligned + size), tail);
    auto* block = reinterpret_cast<void*>(aligned);
    LargeBlocks::advise(block, size);
    return block;
}

}  // namespace

void LargeBlocks::advise(void* p, std::size_t bytes) noexcept {
    if (bytes < LARGE) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t start = round_up(begin), end = (begin + bytes) & ~(HUGE_PAGE - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);  // advice only
}

void* LargeBlocks::take(std::size_t bytes) {
    const std::size_t size = round_up(bytes);
    if (size < KEPT) {
        Kept& k = kept();
        std::lock_guard lock(k.mutex);
        if (k.block && k.size >= size && k.size <= 2 * size) {
            void* block = std::exchange(k.block, nullptr);
            if (k.size > size) munmap(static_cast<char*>(block) + size, k.size - size);
            return block;
        }
    }
    return map_aligned(size);
}

void LargeBlocks::give_back(void* p, std::size_t bytes) noexcept {
    std::size_t size = round_up(bytes);
    if (size < KEPT) {
        Kept& k = kept();
        std::lock_guard lock(k.mutex);
        std::swap(p, k.block);
        std::swap(size, k.size);
        if (!p) return;
    }
    munmap(p, size);
}

}  // namespace quorral
