// What KDTree objects own and how they pickle (kd_tree.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>

#include "binding/errors.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "kd_tree.hpp"

namespace quorral {

// A tree pickles as its points in tree order and their indices, one block that
// protocol 5 may carry out of band; unpickling builds it again from the points
// in their own order.
template <>
struct PickleState<galdrin::KdTree> {
    static constexpr std::size_t unit = sizeof(galdrin::Vec3d) + sizeof(std::uint32_t);
    static constexpr bool repeated = true;
    static constexpr bool out_of_band = true;
    static std::span<const std::byte> state(const galdrin::KdTree& tree) { return tree.storage(); }
    static galdrin::KdTree build(std::span<const std::byte> bytes) {
        try {
            return galdrin::KdTree::from_storage(bytes);
        } catch (const std::invalid_argument&) {
            throw InvalidValue("KDTree state: the indices are not a permutation of the points");
        }
    }
};

}  // namespace quorral
