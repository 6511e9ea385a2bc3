// Placeholder, replaced by the worker pool.
#pragma once
#include <cstddef>
namespace quorral::pool {
template <class Body> void parallel_for(std::size_t n, Body&& body) { if (n) body(std::size_t{0}, n); }
}
