#include "vec_list/vec_array.hpp"

#include "block_cache.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace quorral {

namespace {

BlockCache& kept() {
    // Never destroyed: lists may still be freed while the process exits.
    static BlockCache* const instance = new BlockCache(LargeBlocks::KEPT_TOTAL);
    return *instance;
}

// `size` bytes, on a 2 MB boundary from LARGE on: one page more is mapped, and
// what lies outside the aligned range is given back.
void* map(std::size_t size) {
    if (size < LargeBlocks::LARGE) {
        void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        return block;
    }
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
    const std::size_t size = mapped(bytes);
    if (size < KEPT) {
        if (const auto b = kept().take(size); b.start) {
            if (b.size > size) munmap(static_cast<char*>(b.start) + size, b.size - size);
            return b.start;
        }
    }
    return map(size);
}

void LargeBlocks::give_back(void* p, std::size_t bytes) noexcept {
    const std::size_t size = mapped(bytes);
    const auto unmap = [](BlockCache::Block b) { munmap(b.start, b.size); };
    if (size < KEPT) {
        kept().keep({p, size}, unmap);
    } else {
        unmap({p, size});
    }
}

}  // namespace quorral
