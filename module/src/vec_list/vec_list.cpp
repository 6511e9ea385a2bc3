// The Python classes VecList and VecListIterator.
#include <cstring>
#include <ranges>
#include <span>
#include <string>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "pool.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

using galdrin::Vec3d;

namespace {

Vec3d element(const VecArray& a, Index position) {
    if (position >= a.items.size()) throw OutOfBounds{};
    return a.items[position];
}

// "[" + the element texts joined by "\n" + "]". Chunks of elements are
// formatted on the pool, then copied into one string of the summed length.
PyObject* text_form(const VecArray& a) {
    constexpr std::size_t CHUNK = 1024;
    const std::size_t n = a.items.size();
    std::vector<std::string> chunks((n + CHUNK - 1) / CHUNK);
    pool::parallel_for(chunks.size(), [&](std::size_t begin, std::size_t end) {
        char buf[VEC3D_TEXT_SIZE];
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
VecArray from_items(VecStorage items) {
    pool::workers();
    return VecArray{std::move(items)};
}

PyObject* components(const VecArray& a) {
    pool::workers();
    return list_of(a.items | std::views::transform([](const Vec3d& v) { return to_array(v); }));
}

PyObject* next_element(VecSnapshot& s) {
    if (s.position == s.items.size()) return nullptr;  // no error set: iteration ends
    return to_py(s.items[s.position++]);
}

PyObject* same_object(PyObject* self) { return Py_NewRef(self); }

// A copy of float64 rows: one block when they lie back to back, else value by value.
VecArray from_rows(DoubleRows rows) {
    VecArray a;
    a.items.resize(rows.count);
    if (rows.contiguous) {
        if (rows.count > 0) std::memcpy(a.items.data(), rows.base, rows.count * sizeof(Vec3d));
        return a;
    }
    for (std::size_t i = 0; i < rows.count; ++i) {
        const char* row = rows.base + static_cast<Py_ssize_t>(i) * rows.row_stride;
        double c[3];
        for (int j = 0; j < 3; ++j) std::memcpy(&c[j], row + j * rows.column_stride, sizeof(double));
        a.items[i] = Vec3d{c[0], c[1], c[2]};
    }
    return a;
}

// The element array as a read-only, C-contiguous (n, 3) buffer of doubles.
// Each export is a reader of the list's access state until it is released,
// so the array can neither change nor move while a view of it exists.
constexpr Py_ssize_t ROW_STRIDES[2] = {sizeof(Vec3d), sizeof(double)};
constexpr double NO_ELEMENTS[3] = {};  // an empty list still exports a valid address

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "VecList buffers are read-only");
        return -1;
    }
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS) {
        PyErr_SetString(PyExc_BufferError, "VecList buffers are C-contiguous, not Fortran-contiguous");
        return -1;
    }
    auto* shape = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (!shape) {
        PyErr_NoMemory();
        return -1;
    }
    auto* list = reinterpret_cast<Instance<VecArray>*>(self);
    if (!list->access.try_read()) {
        PyMem_Free(shape);
        raise_read_refused();
        return -1;
    }
    const VecStorage& items = list->value.items;
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    const bool with_format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    shape[0] = static_cast<Py_ssize_t>(items.size());
    shape[1] = 3;
    view->buf = const_cast<double*>(items.empty() ? NO_ELEMENTS : &items.data()->x);
    view->obj = Py_NewRef(self);
    view->len = shape[0] * static_cast<Py_ssize_t>(sizeof(Vec3d));
    view->readonly = 1;
    view->itemsize = with_shape || with_format ? sizeof(double) : 1;
    view->format = with_format ? const_cast<char*>("d") : nullptr;
    // Without a shape the consumer sees one dimension of len / itemsize items.
    view->ndim = with_shape ? 2 : 1;
    view->shape = with_shape ? shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(ROW_STRIDES) : nullptr;
    view->suboffsets = nullptr;
    view->internal = shape;
    return 0;
}

void release_buffer(PyObject* self, Py_buffer* view) {
    PyMem_Free(view->internal);
    reinterpret_cast<Instance<VecArray>*>(self)->access.end_read();
}

}  // namespace

PyTypeObject* PyClass<VecArray>::create() {
    using D = Def<VecArray>;
    ClassSpec spec{.name = "VecList"};
    D::constructor<"VecList(list)", from_items>(spec);
    spec.methods = {
        D::method<"empty()", [] { return VecArray{}; }>(),
        D::method<"from_buffer(obj)", from_rows>(),
        D::method<"append($self, vec)", [](VecArray& a, const Vec3d& v) { a.items.push_back(v); }>(),
        D::method<"extend($self, other)",
                  [](VecArray& a, const VecArray& b) { a.items.insert(a.items.end(), b.items.begin(), b.items.end()); }>(),
        D::method<"to_array($self)", components>(),
        reduce_method<VecArray>(),
    };
    spec.properties = {D::getter<[](const VecArray& a) { return list_of(a.items); }>("list")};
    spec.slots = {
        slot(Py_tp_repr, &D::unary<text_form>),
        slot(Py_tp_iter, &D::unary<[](const VecArray& a) { return VecSnapshot{a.items}; }>),
        slot(Py_sq_length, &D::length<[](const VecArray& a) { return a.items.size(); }>),
        slot(Py_bf_getbuffer, &get_buffer),
        slot(Py_bf_releasebuffer, &release_buffer),
    };
    D::subscript_slots<element>(spec);
    add_batch_operations(spec);
    add_pairwise_operations(spec);
    return create_type<VecArray>(std::move(spec));
}

PyTypeObject* PyClass<VecSnapshot>::create() {
    using D = Def<VecSnapshot>;
    ClassSpec spec{.name = "VecListIterator"};
    spec.slots = {
        slot(Py_tp_iter, &same_object),
        slot(Py_tp_iternext, &D::unary<next_element>),
    };
    return create_type<VecSnapshot>(std::move(spec));
}

}  // namespace quorral
