// The Python classes VecList and VecListIterator.
#include <cstring>
#include <ranges>
#include <span>
#include <string>
#include <vector>

#include "binding/def.hpp"
#include "pool.hpp"
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

}  // namespace

PyTypeObject* PyClass<VecArray>::create() {
    using D = Def<VecArray>;
    ClassSpec spec{.name = "VecList"};
    D::constructor<"VecList(list)", from_items>(spec);
    spec.methods = {
        D::method<"empty()", [] { return VecArray{}; }>(),
        D::method<"append($self, vec)", [](VecArray& a, const Vec3d& v) { a.items.push_back(v); }>(),
        D::method<"extend($self, other)",
                  [](VecArray& a, const VecArray& b) { a.items.insert(a.items.end(), b.items.begin(), b.items.end()); }>(),
        D::method<"to_array($self)", components>(),
    };
    spec.properties = {D::getter<[](const VecArray& a) { return list_of(a.items); }>("list")};
    spec.slots = {
        slot(Py_tp_repr, &D::unary<text_form>),
        slot(Py_tp_iter, &D::unary<[](const VecArray& a) { return VecSnapshot{a.items}; }>),
        slot(Py_sq_length, &D::length<[](const VecArray& a) { return a.items.size(); }>),
    };
    D::subscript_slots<element>(spec);
    add_batch_operations(spec);
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
