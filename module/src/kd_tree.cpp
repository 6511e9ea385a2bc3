// The Python class KDTree: an immutable nearest-neighbour index over a copy of
// a VecList's points. Its value never changes once built, so queries read it
// without entering its access state, from any number of threads at once.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "kd_index.hpp"
#include "kd_tree.hpp"
#include "point_normals.hpp"
#include "pool/pool.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

using galdrin::KdTree;
using galdrin::Vec3d;

// A tree is read in place: nothing writes it after it is made.
template <>
struct Arg<const KdTree&> {
    const KdTree* tree = nullptr;
    bool load(PyObject* obj) {
        Instance<KdTree>* inst = instance_of<KdTree>(obj);
        if (!inst) {
            raise_not_instance(obj, PyClass<KdTree>::name);
            return false;
        }
        tree = &inst->value;
        return true;
    }
    const KdTree& get() const { return *tree; }
};

namespace {

// k, an int of at least Least, checked as it is converted.
template <std::size_t Least>
struct NeighbourCount {
    std::size_t k;
};

// A distance limit, a number >= 0 (inf allowed), held as the largest key within it.
template <Text Name>
struct Limit {
    double key;
};

}  // namespace

template <std::size_t Least>
struct Arg<NeighbourCount<Least>> {
    NeighbourCount<Least> value{Least};
    bool load(PyObject* obj) {
        PyObject* index = PyNumber_Index(obj);
        if (!index) return false;
        int overflow = 0;
        const long long k = PyLong_AsLongLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (k == -1 && PyErr_Occurred()) return false;
        if (overflow < 0 || (overflow == 0 && k < static_cast<long long>(Least))) {
            PyErr_SetString(PyExc_ValueError, ("k must be at least " + std::to_string(Least)).c_str());
            return false;
        }
        if (overflow > 0) {
            PyErr_NoMemory();
            return false;
        }
        value.k = static_cast<std::size_t>(k);
        return true;
    }
    NeighbourCount<Least> get() const { return value; }
};

template <Text Name>
struct Arg<Limit<Name>> {
    Arg<double> number;
    Limit<Name> value{0.0};
    bool load(PyObject* obj) {
        if (!number.load(obj)) return false;
        const double r = number.get();
        if (std::isnan(r) || r < 0.0) {
            const std::string message = std::string(Name.view()) + " must be a number >= 0, not " + (std::isnan(r) ? "nan" : "negative");
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return false;
        }
        value.key = galdrin::key_limit(r);
        return true;
    }
    Limit<Name> get() const { return value; }
};

namespace {

// Queries are worth handing to another thread in pieces of about this many.
constexpr std::size_t QUERY_GRAIN = 64;

// count * size bytes, or std::bad_alloc when that overflows.
std::size_t bytes_for(std::size_t count, std::size_t size) {
    if (count > std::numeric_limits<Py_ssize_t>::max() / size) throw std::bad_alloc();
    return count * size;
}

// A new bytearray of count entries of T, left uninitialised.
template <class T>
PyObject* new_block(std::size_t count) {
    return PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes_for(count, sizeof(T))));
}

template <class T>
T* block_data(PyObject* block) {
    return reinterpret_cast<T*>(PyByteArray_AS_STRING(block));
}

// A memoryview of the entries of `block` (format 'd' or 'q'), of shape (rows,
// cols), or (rows,) when flat; numpy takes it as it is, without a copy.
// Steals the reference to block.
PyObject* view_of(PyObject* block, const char* format, std::size_t rows, std::size_t cols, bool flat) {
    if (rows == 0 && !flat) {
        // A cast cannot give a shape with a zero: a read-only view of no
        // memory, whose shape and strides the memoryview copies.
        Py_DECREF(block);
        static const double nothing[1] = {};
        Py_ssize_t shape[2] = {0, static_cast<Py_ssize_t>(cols)};
        Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(cols * 8), 8};
        Py_buffer info{};
        info.buf = const_cast<double*>(nothing);
        info.len = 0;
        info.itemsize = 8;
        info.readonly = 1;
        info.ndim = 2;
        info.format = const_cast<char*>(format);  // a literal: the view keeps the pointer
        info.shape = shape;
        info.strides = strides;
        return PyMemoryView_FromBuffer(&info);
    }
    PyObject* view = PyMemoryView_FromObject(block);
    Py_DECREF(block);
    if (!view) return nullptr;
    PyObject* result = flat ? PyObject_CallMethod(view, "cast", "s", format)
                            : PyObject_CallMethod(view, "cast", "s(nn)", format, static_cast<Py_ssize_t>(rows),
                                                  static_cast<Py_ssize_t>(cols));
    Py_DECREF(view);
    return result;
}

// A flat view of count entries of T written by fill(T*).
template <class T, class Fill>
PyObject* filled_view(const char* format, std::size_t count, const Fill& fill) {
    PyObject* block = new_block<T>(count);
    if (!block) return nullptr;
    try {
        fill(block_data<T>(block));
    } catch (...) {
        Py_DECREF(block);
        throw;
    }
    return view_of(block, format, count, 1, true);
}

// The pair (distances, indices) of `rows` queries of k slots: fill(keys,
// indices) writes the keys where the distances go, and their square roots
// replace them.
template <class Fill>
PyObject* nearest_pair(std::size_t rows, std::size_t k, bool flat, const Fill& fill) {
    const std::size_t count = bytes_for(rows, k);
    PyObject* distances = new_block<double>(count);
    if (!distances) return nullptr;
    PyObject* indices = new_block<std::int64_t>(count);
    if (!indices) {
        Py_DECREF(distances);
        return nullptr;
    }
    double* d = block_data<double>(distances);
    try {
        fill(d, block_data<std::int64_t>(indices));
        pool::parallel_for(count, [d](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) d[i] = std::sqrt(d[i]);
        }, CHEAP_GRAIN);
    } catch (...) {
        Py_DECREF(distances);
        Py_DECREF(indices);
        throw;
    }
    PyObject* index_view = view_of(indices, "q", rows, k, flat);
    if (!index_view) {
        Py_DECREF(distances);
        return nullptr;
    }
    PyObject* distance_view = view_of(distances, "d", rows, k, flat);
    if (!distance_view) {
        Py_DECREF(index_view);
        return nullptr;
    }
    return Py_BuildValue("(NN)", distance_view, index_view);
}

PyObject* nearest_by_key(const KdTree& tree, OneOrList<Vec3d> query, std::size_t k, double max_key) {
    if (query.one) {
        const Vec3d q = *query.one;
        return nearest_pair(1, k, true, [&](double* keys, std::int64_t* idx) { tree.nearest(q, k, max_key, keys, idx); });
    }
    const Vec3d* qs = query.list->items.data();
    const std::size_t n = query.list->items.size();
    return nearest_pair(n, k, false, [&](double* keys, std::int64_t* idx) {
        pool::parallel_for(n, [&tree, qs, k, max_key, keys, idx](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) tree.nearest(qs[i], k, max_key, keys + i * k, idx + i * k);
        }, QUERY_GRAIN);
    });
}

PyObject* nearest(const KdTree& tree, OneOrList<Vec3d> query, NeighbourCount<1> k) {
    return nearest_by_key(tree, query, k.k, std::numeric_limits<double>::infinity());
}

PyObject* nearest_within(const KdTree& tree, OneOrList<Vec3d> query, NeighbourCount<1> k, Limit<"max_distance"> limit) {
    return nearest_by_key(tree, query, k.k, limit.key);
}

PyObject* index_view(const std::vector<std::int64_t>& items) {
    return filled_view<std::int64_t>("q", items.size(), [&](std::int64_t* out) {
        if (!items.empty()) std::memcpy(out, items.data(), items.size() * sizeof(std::int64_t));
    });
}

// Queries of a batch are answered in blocks of this many, each into its own
// vector; the blocks are then joined in order.
constexpr std::size_t WITHIN_BLOCK = 256;

PyObject* within(const KdTree& tree, OneOrList<Vec3d> query, Limit<"r"> r) {
    if (query.one) {
        std::vector<std::int64_t> found;
        tree.within(*query.one, r.key, found);
        return index_view(found);
    }
    const Vec3d* qs = query.list->items.data();
    const std::size_t n = query.list->items.size();
    const std::size_t blocks = (n + WITHIN_BLOCK - 1) / WITHIN_BLOCK;
    std::vector<std::vector<std::int64_t>> found(blocks);
    std::vector<std::int64_t> counts(n);
    pool::parallel_for(blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            std::vector<std::int64_t>& out = found[b];
            for (std::size_t i = b * WITHIN_BLOCK; i < std::min(n, (b + 1) * WITHIN_BLOCK); ++i) {
                const std::size_t before = out.size();
                tree.within(qs[i], r.key, out);
                counts[i] = static_cast<std::int64_t>(out.size() - before);
            }
        }
    }, std::max<std::size_t>(1, QUERY_GRAIN / WITHIN_BLOCK));
    PyObject* offsets = filled_view<std::int64_t>("q", n + 1, [&](std::int64_t* out) {
        out[0] = 0;
        for (std::size_t i = 0; i < n; ++i) out[i + 1] = out[i] + counts[i];
    });
    if (!offsets) return nullptr;
    std::size_t total = 0;
    std::vector<std::size_t> starts(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        starts[b] = total;
        total += found[b].size();
    }
    PyObject* indices = filled_view<std::int64_t>("q", total, [&](std::int64_t* out) {
        pool::parallel_for(blocks, [&, out](std::size_t begin, std::size_t end) {
            for (std::size_t b = begin; b < end; ++b)
                if (!found[b].empty()) std::memcpy(out + starts[b], found[b].data(), found[b].size() * sizeof(std::int64_t));
        }, 1);
    });
    if (!indices) {
        Py_DECREF(offsets);
        return nullptr;
    }
    return Py_BuildValue("(NN)", offsets, indices);
}

PyObject* count_within(const KdTree& tree, OneOrList<Vec3d> query, Limit<"r"> r) {
    if (query.one) return to_py(static_cast<Index>(tree.count_within(*query.one, r.key)));
    const Vec3d* qs = query.list->items.data();
    const std::size_t n = query.list->items.size();
    return filled_view<std::int64_t>("q", n, [&](std::int64_t* out) {
        pool::parallel_for(n, [&tree, qs, r, out](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = static_cast<std::int64_t>(tree.count_within(qs[i], r.key));
        }, QUERY_GRAIN);
    });
}

VecArray normals(const KdTree& tree, NeighbourCount<3> k) {
    VecArray result;
    result.items.resize(tree.size());
    galdrin::normals(tree, k.k, result.items.data());
    return result;
}

KdTree build(const VecArray& points) {
    if (points.items.size() > KdTree::MAX_POINTS) throw InvalidValue("points: a KDTree holds at most 4294967295 points");
    return KdTree(std::span<const Vec3d>(points.items.data(), points.items.size()));
}

std::string text_form(const KdTree& tree) { return "KDTree(" + std::to_string(tree.size()) + " points)"; }

}  // namespace

PyTypeObject* PyClass<KdTree>::create() {
    using D = Def<KdTree>;
    ClassSpec spec{.name = "KDTree"};
    D::constructor<"KDTree(points)", build>(spec);
    spec.methods = {
        D::method<"nearest($self, query, k=1)", nearest>(),
        D::method<"nearest_within($self, query, k, max_distance)", nearest_within>(),
        D::method<"within($self, query, r)", within>(),
        D::method<"count_within($self, query, r)", count_within>(),
        D::method<"normals($self, k=10)", normals>(),
        reduce_method<KdTree>(),
    };
    spec.slots = {
        slot(Py_tp_repr, &D::unary<text_form>),
        slot(Py_sq_length, &D::length<[](const KdTree& t) { return t.size(); }>),
    };
    return create_type<KdTree>(std::move(spec));
}

}  // namespace quorral
