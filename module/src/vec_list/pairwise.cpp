// VecList with VecList: element-wise pairs, per-element factors, fused
// updates, reductions and gathers, run on the worker pool like the other
// batch operations.
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "binding/arrays.hpp"
#include "binding/def.hpp"
#include "pool.hpp"
#include "summation.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

using galdrin::Vec3d;

namespace {

// The other operand of dot_each and distance_each: a list of the same length,
// or one vector used for every element.
struct ListOrVector {
    const VecArray* list = nullptr;
    Vec3d vector{};
};

}  // namespace

template <>
struct Arg<ListOrVector> {
    Arg<const VecArray&> list;
    ListOrVector value;
    bool load(PyObject* obj) {
        if (instance_of<VecArray>(obj)) {
            if (!list.load(obj)) return false;
            value.list = &list.get();
            return true;
        }
        if (instance_of<Vec3d>(obj)) {
            QuietReader<Vec3d> vector;
            if (!vector.load(obj)) return false;
            value.vector = vector.get();
            return true;
        }
        raise_not_instance(obj, "VecList' or 'Vec3d");  // one message naming both classes
        return false;
    }
    ListOrVector get() const { return value; }
};

namespace {

// ValueError naming both lengths, unless they agree.
bool same_length(std::size_t n, std::size_t m, const char* other) {
    if (n == m) return true;
    PyErr_Format(PyExc_ValueError, "lengths differ: self has %zu elements, %s has %zu", n, other, m);
    return false;
}

// out[i] = f(a[i], b[i]) for every element, on the pool, as map_into does.
template <class Out, class F>
void map_pairs_into(const VecStorage& a, const VecStorage& b, Out* out, const F& f, std::size_t grain = CHEAP_GRAIN) {
    const Vec3d* x = a.data();
    const Vec3d* y = b.data();
    pool::parallel_for(a.size(), [x, y, out, &f](std::size_t begin, std::size_t end) {
        const F g = f;
        for (std::size_t i = begin; i < end; ++i) out[i] = g(x[i], y[i]);
    }, grain);
}

template <class F>
PyObject* map_pairs(const VecArray& a, const VecArray& b, const F& f) {
    if (!same_length(a.items.size(), b.items.size(), "other")) return nullptr;
    VecArray result;
    result.items.resize(a.items.size());
    map_pairs_into(a.items, b.items, result.items.data(), f);
    return to_py(std::move(result));
}

// An array.array('d') of op(element, other element) or op(element, other vector).
template <class Op>
PyObject* float_each(const VecArray& a, const ListOrVector& other, const Op& op) {
    const std::size_t n = a.items.size();
    if (other.list) {
        if (!same_length(n, other.list->items.size(), "other")) return nullptr;
        return float_array(n, [&](double* out) { map_pairs_into(a.items, other.list->items, out, op); });
    }
    const Vec3d v = other.vector;
    return float_array(n, [&](double* out) { map_into(a.items, out, [v, op](const Vec3d& e) { return op(e, v); }); });
}

// term(0) + ... + term(n - 1) on the core's summation tree: the leaves on the
// pool, then their sums combined here, so that the bits are those of the core's
// one-pass sum whatever the number of workers.
template <class T, class Term>
T tree_sum_on_pool(std::size_t n, const Term& term, T zero) {
    const std::size_t m = galdrin::sum_leaves(n);
    const std::unique_ptr<T[]> leaves(new T[m]);
    T* out = leaves.get();
    pool::parallel_for(m, [out, n, &term](std::size_t begin, std::size_t end) {
        const Term t = term;
        std::size_t k = begin;
        for (; k + 4 <= end && (k + 4) * galdrin::SUM_LEAF <= n; k += 4) galdrin::four_leaf_sums(k, t, out + k);
        for (; k < end; ++k) out[k] = galdrin::leaf_sum(k, n, t);
    }, CHEAP_GRAIN / galdrin::SUM_LEAF);
    if (m == 0) return zero;
    return galdrin::combine_pairwise(0, m, [out](std::size_t k) { return out[k]; });
}

Vec3d sum(const VecArray& a) {
    const Vec3d* items = a.items.data();
    return tree_sum_on_pool(a.items.size(), [items](std::size_t i) { return items[i]; }, Vec3d::zero());
}

Vec3d mean(const VecArray& a) { return sum(a) / static_cast<double>(a.items.size()); }

PyObject* dot_sum(const VecArray& a, const VecArray& b) {
    const std::size_t n = a.items.size();
    if (!same_length(n, b.items.size(), "other")) return nullptr;
    const Vec3d* x = a.items.data();
    const Vec3d* y = b.items.data();
    return to_py(tree_sum_on_pool(n, [x, y](std::size_t i) { return dot(x[i], y[i]); }, 0.0));
}

PyObject* scale_each(const VecArray& a, Floats factors) {
    if (!same_length(a.items.size(), factors.count, "factors")) return nullptr;
    VecArray result;
    result.items.resize(a.items.size());
    const Vec3d* src = a.items.data();
    const double* f = factors.data;
    Vec3d* dst = result.items.data();
    pool::parallel_for(a.items.size(), [src, f, dst](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) dst[i] = src[i] * f[i];
    }, CHEAP_GRAIN);
    return to_py(std::move(result));
}

// Every index is checked before anything is built: OverflowError if one is
// negative, else IndexError if one is past the end.
PyObject* take(const VecArray& a, Indices indices) {
    return indices.visit([&](auto read) -> PyObject* {
        using T = decltype(read(0));
        const std::size_t n = a.items.size();
        bool negative = false;
        std::uint64_t largest = 0;
        for (std::size_t i = 0; i < indices.count; ++i) {
            const T v = read(i);
            if constexpr (std::is_signed_v<T>) negative |= v < 0;
            largest = std::max(largest, static_cast<std::uint64_t>(v));
        }
        if (negative) {
            PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
            return nullptr;
        }
        if (indices.count > 0 && largest >= n) throw OutOfBounds{};
        VecArray result;
        result.items.resize(indices.count);
        const Vec3d* src = a.items.data();
        Vec3d* dst = result.items.data();
        pool::parallel_for(indices.count, [src, dst, read](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) dst[i] = src[read(i)];
        }, CHEAP_GRAIN);
        return to_py(std::move(result));
    });
}

}  // namespace

void add_pairwise_operations(ClassSpec& spec) {
    using D = Def<VecArray>;
    const std::initializer_list<PyMethodDef> methods = {
        D::method<"add_each($self, other)", [](const VecArray& a, const VecArray& b) {
            return map_pairs(a, b, [](const Vec3d& x, const Vec3d& y) { return x + y; });
        }>(),
        D::method<"sub_each($self, other)", [](const VecArray& a, const VecArray& b) {
            return map_pairs(a, b, [](const Vec3d& x, const Vec3d& y) { return x - y; });
        }>(),
        D::method<"cross_each($self, other)", [](const VecArray& a, const VecArray& b) {
            return map_pairs(a, b, [](const Vec3d& x, const Vec3d& y) { return cross(x, y); });
        }>(),
        D::method<"dot_each($self, other)", [](const VecArray& a, ListOrVector other) {
            return float_each(a, other, [](const Vec3d& x, const Vec3d& y) { return dot(x, y); });
        }>(),
        D::method<"distance_each($self, other)", [](const VecArray& a, ListOrVector other) {
            return float_each(a, other, [](const Vec3d& x, const Vec3d& y) { return distance_to(x, y); });
        }>(),
        D::method<"dot_sum($self, other)", dot_sum>(),
        D::method<"scale_each($self, factors)", scale_each>(),
        D::method<"add_scaled($self, other, factor)", [](const VecArray& a, const VecArray& b, double factor) {
            return map_pairs(a, b, [factor](const Vec3d& x, const Vec3d& y) { return add_scaled(x, y, factor); });
        }>(),
        D::method<"sum($self)", sum>(),
        D::method<"mean($self)", mean>(),
        D::method<"take($self, indices)", take>(),
        D::method<"writable($self)", writable_view>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
}

}  // namespace quorral
