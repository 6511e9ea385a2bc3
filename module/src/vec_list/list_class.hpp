// The container half of a list class, shared by VecList and QuatList: the
// constructor, growth, length, indexing, iteration over a snapshot, the text
// form, conversions to Python lists, the buffer export, from_buffer and
// pickling. What differs between the element types is in ListTraits<E>.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ranges>
#include <string>
#include <vector>

#include "binding/arrays.hpp"
#include "binding/buffer.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "pool/pool.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

// Per element type: the number of doubles, the text size and the member
// signatures whose names or parameter names differ.
template <class E>
struct ListTraits;

template <>
struct ListTraits<galdrin::Vec3d> {
    static constexpr std::size_t width = 3;
    static constexpr std::size_t text_size = VEC3D_TEXT_SIZE;
    static constexpr Text constructor = "VecList(list)";
    static constexpr Text append = "append($self, vec)";
};

template <>
struct ListTraits<galdrin::Quat> {
    static constexpr std::size_t width = 4;
    static constexpr std::size_t text_size = QUAT_TEXT_SIZE;
    static constexpr Text constructor = "QuatList(list)";
    static constexpr Text append = "append($self, quat)";
};

template <>
struct ListTraits<galdrin::RigidTransform> {
    static constexpr std::size_t width = 7;
    static constexpr std::size_t text_size = RIGID_TEXT_SIZE;
    static constexpr Text constructor = "RigidTransformList(list)";
    static constexpr Text append = "append($self, transform)";
};

namespace list_detail {

template <class E>
constexpr std::size_t width = ListTraits<E>::width;

template <class E>
std::array<double, width<E>> components(const E& e) {
    static_assert(sizeof(E) == width<E> * sizeof(double));
    std::array<double, width<E>> c;
    std::memcpy(c.data(), &e, sizeof(E));
    return c;
}

template <class E>
E element(const ElementList<E>& a, Index position) {
    if (position >= a.items.size()) throw OutOfBounds{};
    return a.items[position];
}

// "[" + the element texts joined by "\n" + "]". Chunks of elements are
// formatted on the pool, then copied into one string of the summed length.
template <class E>
PyObject* text_form(const ElementList<E>& a) {
    constexpr std::size_t CHUNK = 1024;
    const std::size_t n = a.items.size();
    std::vector<std::string> chunks((n + CHUNK - 1) / CHUNK);
    pool::parallel_for(chunks.size(), [&](std::size_t begin, std::size_t end) {
        char buf[ListTraits<E>::text_size];
        for (std::size_t c = begin; c < end; ++c) {
            std::string& text = chunks[c];
            for (std::size_t i = c * CHUNK; i < std::min(n, (c + 1) * CHUNK); ++i) {
                if (i > 0) text += '\n';
                text.append(buf, write_text(a.items[i], buf));
            }
        }
    });
    std::size_t size = 2;
    for (const std::string& text : chunks) size += text.size();
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (!result) return nullptr;
    char* out = static_cast<char*>(PyUnicode_DATA(result));
    *out++ = '[';
    for (const std::string& text : chunks) out = static_cast<char*>(std::memcpy(out, text.data(), text.size())) + text.size();
    *out = ']';
    return result;
}

// The constructor's copy and to_array are element-wise jobs like the batch
// operations, and start the pool as those do, though they need no workers.
template <class E>
ElementList<E> from_items(Storage<E> items) {
    pool::workers();
    return ElementList<E>{std::move(items)};
}

template <class E>
PyObject* to_array(const ElementList<E>& a) {
    pool::workers();
    return list_of(a.items | std::views::transform([](const E& e) { return components(e); }));
}

template <class E>
PyObject* next_element(ElementSnapshot<E>& s) {
    if (s.position == s.items.size()) return nullptr;  // no error set: iteration ends
    return to_py(s.items[s.position++]);
}

inline PyObject* same_object(PyObject* self) { return Py_NewRef(self); }

// The elements whose flag is set, in order. The pool copies the flags chunk
// by chunk and counts them, then copies each chunk's elements to where the
// counts before it end; the copy of the flags keeps the two passes agreeing
// when another thread writes the mask meanwhile.
template <class E>
ElementList<E> compress(const ElementList<E>& a, Mask mask) {
    constexpr std::size_t CHUNK = CHEAP_GRAIN;
    const std::size_t n = a.items.size();
    if (mask.count != n) throw length_mismatch("self", n, "mask", mask.count);
    const std::size_t chunks = (n + CHUNK - 1) / CHUNK;
    std::vector<char, UninitAllocator<char>> flags(n);
    std::vector<std::size_t> starts(chunks + 1, 0);
    pool::parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::size_t kept = 0;
            for (std::size_t i = c * CHUNK; i < std::min(n, (c + 1) * CHUNK); ++i) kept += flags[i] = mask[i];
            starts[c + 1] = kept;
        }
    });
    for (std::size_t c = 1; c <= chunks; ++c) starts[c] += starts[c - 1];
    ElementList<E> result;
    result.items.resize(starts.back());
    const E* src = a.items.data();
    E* dst = result.items.data();
    pool::parallel_for(chunks, [&, src, dst](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            E* out = dst + starts[c];
            for (std::size_t i = c * CHUNK; i < std::min(n, (c + 1) * CHUNK); ++i)
                if (flags[i]) *out++ = src[i];
        }
    });
    return result;
}

// The elements a[start:stop:step] would hold as a Python sequence: the
// bounds are read and clamped by the interpreter's slice rules (None, negative
// and out-of-range values alike), and the elements copied on the pool.
template <class E>
PyObject* slice(const ElementList<E>& a, PyObject* start, PyObject* stop, PyObject* step) {
    PyObject* bounds = PySlice_New(start, stop, step);
    if (!bounds) return nullptr;
    Py_ssize_t first, last, stride;
    const int unpacked = PySlice_Unpack(bounds, &first, &last, &stride);
    Py_DECREF(bounds);
    if (unpacked < 0) return nullptr;
    const auto count =
        static_cast<std::size_t>(PySlice_AdjustIndices(static_cast<Py_ssize_t>(a.items.size()), &first, &last, stride));
    ElementList<E> result;
    result.items.resize(count);
    // Indices, not a pointer to the first element: an empty slice of an empty
    // list may have first == -1, and no pointer may be formed from that.
    const E* src = a.items.data();
    E* dst = result.items.data();
    pool::parallel_for(count, [src, dst, first, stride](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) dst[i] = src[first + static_cast<Py_ssize_t>(i) * stride];
    }, CHEAP_GRAIN);
    return to_py(std::move(result));
}

// A copy of float64 rows: one block when they lie back to back, else value by value.
template <class E>
ElementList<E> from_rows(RowsOf<width<E>> rows) {
    ElementList<E> a;
    a.items.resize(rows.count);
    if (rows.contiguous) {
        if (rows.count > 0) std::memcpy(a.items.data(), rows.base, rows.count * sizeof(E));
        return a;
    }
    for (std::size_t i = 0; i < rows.count; ++i) {
        const char* row = rows.base + static_cast<Py_ssize_t>(i) * rows.row_stride;
        double c[width<E>];
        for (std::size_t j = 0; j < width<E>; ++j)
            std::memcpy(&c[j], row + static_cast<Py_ssize_t>(j) * rows.column_stride, sizeof(double));
        std::memcpy(&a.items[i], c, sizeof(E));
    }
    return a;
}

template <class E>
constexpr Py_ssize_t ROW_STRIDES[2] = {sizeof(E), sizeof(double)};
template <class E>
constexpr double NO_ELEMENTS[width<E>] = {};  // an empty list still exports a valid address

// An export by `exporter` of an element array as a C-contiguous (n, width)
// buffer of doubles, in the form the flags ask for. hold(), called once the
// request is accepted, gives the array it holds for the export, or nullptr
// with an error set to refuse it. The shape's room is freed by release_shape.
template <class E, class Hold>
int export_elements(PyObject* exporter, Py_buffer* view, int flags, bool readonly, const Hold& hold) {
    constexpr const char* name = PyClass<ElementList<E>>::name;
    view->obj = nullptr;
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS) {
        PyErr_Format(PyExc_BufferError, "%s buffers are C-contiguous, not Fortran-contiguous", name);
        return -1;
    }
    auto* shape = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (!shape) {
        PyErr_NoMemory();
        return -1;
    }
    const Storage<E>* items = hold();
    if (!items) {
        PyMem_Free(shape);
        return -1;
    }
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    const bool with_format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    shape[0] = static_cast<Py_ssize_t>(items->size());
    shape[1] = width<E>;
    view->buf = const_cast<void*>(items->empty() ? static_cast<const void*>(NO_ELEMENTS<E>)
                                                 : static_cast<const void*>(items->data()));
    view->obj = Py_NewRef(exporter);
    view->len = shape[0] * static_cast<Py_ssize_t>(sizeof(E));
    view->readonly = readonly ? 1 : 0;
    view->itemsize = with_shape || with_format ? sizeof(double) : 1;
    view->format = with_format ? const_cast<char*>("d") : nullptr;
    // Without a shape the consumer sees one dimension of len / itemsize items.
    view->ndim = with_shape ? 2 : 1;
    view->shape = with_shape ? shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(ROW_STRIDES<E>) : nullptr;
    view->suboffsets = nullptr;
    view->internal = shape;
    return 0;
}

inline void release_shape(Py_buffer* view) { PyMem_Free(view->internal); }

// The element array as a read-only buffer. Each export is a reader of the
// list's access state until it is released, so the array can neither change
// nor move while a view of it exists.
template <class E>
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    if (flags & PyBUF_WRITABLE) {
        view->obj = nullptr;
        PyErr_Format(PyExc_BufferError, "%s buffers are read-only", PyClass<ElementList<E>>::name);
        return -1;
    }
    auto* list = reinterpret_cast<Instance<ElementList<E>>*>(self);
    return export_elements<E>(self, view, flags, true, [list]() -> const Storage<E>* {
        if (list->access.try_read()) return &list->value.items;
        raise_read_refused();
        return nullptr;
    });
}

template <class E>
void release_buffer(PyObject* self, Py_buffer* view) {
    release_shape(view);
    reinterpret_cast<Instance<ElementList<E>>*>(self)->access.end_read();
}

}  // namespace list_detail

// The spec of a list class with its container members; the caller adds the
// batch operations and creates the type.
template <class E>
ClassSpec list_spec() {
    using namespace list_detail;
    using List = ElementList<E>;
    using D = Def<List>;
    using T = ListTraits<E>;
    ClassSpec spec{.name = PyClass<List>::name};
    D::template constructor<T::constructor, from_items<E>>(spec);
    spec.methods = {
        D::template method<"empty()", [] { return List{}; }>(),
        D::template method<"from_buffer(obj)", from_rows<E>>(),
        D::template method<T::append, [](List& a, const E& e) { a.items.push_back(e); }>(),
        D::template method<"extend($self, other)",
                           [](List& a, const List& b) { a.items.insert(a.items.end(), b.items.begin(), b.items.end()); }>(),
        D::template method<"to_array($self)", to_array<E>>(),
        D::template method<"compress($self, mask)", compress<E>>(),
        D::template method<"slice($self, start=None, stop=None, step=None)", slice<E>>(),
        reduce_method<List>(),
    };
    spec.properties = {D::template getter<[](const List& a) { return list_of(a.items); }>("list")};
    spec.slots = {
        slot(Py_tp_repr, &D::template unary<text_form<E>>),
        slot(Py_tp_iter, &D::template unary<[](const List& a) { return ElementSnapshot<E>{a.items}; }>),
        slot(Py_sq_length, &D::template length<[](const List& a) { return a.items.size(); }>),
        slot(Py_bf_getbuffer, &get_buffer<E>),
        slot(Py_bf_releasebuffer, &release_buffer<E>),
    };
    D::template subscript_slots<element<E>>(spec);
    add_array_protocol(spec);
    return spec;
}

// The iterator class of a list: no constructor, iter() gives itself.
template <class E>
PyTypeObject* create_snapshot_type() {
    using namespace list_detail;
    using D = Def<ElementSnapshot<E>>;
    ClassSpec spec{.name = PyClass<ElementSnapshot<E>>::name};
    spec.slots = {
        slot(Py_tp_iter, &same_object),
        slot(Py_tp_iternext, &D::template unary<next_element<E>>),
    };
    return create_type<ElementSnapshot<E>>(std::move(spec));
}

}  // namespace quorral
