// The writable view of a VecList. It holds the list for writing from its
// creation until it is released and every buffer taken from it has been
// released too, so that numpy can change the elements in place while every
// read and write of the list through its methods is refused.
#include <Python.h>

#include "binding/def.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/list_class.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

namespace {

// Changed only inside the view's critical section.
struct WriteLease {
    PyObject* list = nullptr;  // strong reference
    std::size_t exports = 0;
    bool holding = false;      // the list's write is this view's
    bool released = false;     // no new exports; the write ends with the last one

    AccessState& access() const { return reinterpret_cast<Instance<VecArray>*>(list)->access; }
    void end_hold() {
        holding = false;
        access().end_write();
    }
    ~WriteLease() {
        if (holding) end_hold();
        Py_XDECREF(list);
    }
};

}  // namespace

template <>
struct PyClass<WriteLease> {
    static constexpr const char* name = "VecListWriter";
    static PyTypeObject* create();
};

namespace {

WriteLease& lease_of(PyObject* self) { return reinterpret_cast<Instance<WriteLease>*>(self)->value; }

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    WriteLease& lease = lease_of(self);
    const auto hold = [&lease, self]() -> const VecStorage* {
        bool open;
        Py_BEGIN_CRITICAL_SECTION(self);
        open = !lease.released;
        if (open) ++lease.exports;
        Py_END_CRITICAL_SECTION();
        if (open) return &reinterpret_cast<Instance<VecArray>*>(lease.list)->value.items;
        PyErr_SetString(PyExc_BufferError, "the writable view was released");
        return nullptr;
    };
    return list_detail::export_elements<galdrin::Vec3d>(self, view, flags, false, hold);
}

void release_buffer(PyObject* self, Py_buffer* view) {
    list_detail::release_shape(view);
    WriteLease& lease = lease_of(self);
    Py_BEGIN_CRITICAL_SECTION(self);
    if (--lease.exports == 0 && lease.released && lease.holding) lease.end_hold();
    Py_END_CRITICAL_SECTION();
}

// Ends the hold now when no buffer is left, else when the last one is released;
// the second case is a BufferError, so that a forgotten array is noticed.
PyObject* release(PyObject* self) {
    WriteLease& lease = lease_of(self);
    std::size_t alive;
    Py_BEGIN_CRITICAL_SECTION(self);
    lease.released = true;
    alive = lease.exports;
    if (alive == 0 && lease.holding) lease.end_hold();
    Py_END_CRITICAL_SECTION();
    if (alive > 0) {
        PyErr_Format(PyExc_BufferError,
                     "%zu buffer(s) taken from the view are still alive: the list stays held for writing "
                     "until they are released",
                     alive);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyTypeObject* PyClass<WriteLease>::create() {
    using D = Def<WriteLease>;
    ClassSpec spec{.name = "VecListWriter"};
    spec.methods = {
        D::method<"release($self)", release>(),
        D::method<"__enter__($self)", [](PyObject* self) { return Py_NewRef(self); }>(),
        D::method<"__exit__($self, exc_type, exc_value, traceback)",
                  [](PyObject* self, PyObject*, PyObject*, PyObject*) { return release(self); }>(),
    };
    spec.slots = {
        slot(Py_bf_getbuffer, &get_buffer),
        slot(Py_bf_releasebuffer, &release_buffer),
    };
    return create_type<WriteLease>(std::move(spec));
}

PyObject* writable_view(PyObject* list) {
    Instance<VecArray>* inst = instance_of<VecArray>(list);
    if (!inst) return raise_not_instance(list, "VecList");
    PyTypeObject* type = type_object<WriteLease>();
    if (!type) return nullptr;
    if (!inst->access.try_write()) return raise_write_refused();
    PyObject* lease = new_instance<WriteLease>(type, WriteLease{});
    if (!lease) {
        inst->access.end_write();
        return nullptr;
    }
    WriteLease& held = lease_of(lease);
    held.list = Py_NewRef(list);
    held.holding = true;
    return lease;
}

}  // namespace quorral
