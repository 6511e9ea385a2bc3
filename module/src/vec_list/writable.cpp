// The writable view of a VecList. It holds the list for writing from its
// creation until it is released and every buffer taken from it has been
// released too, so that numpy can change the elements in place while every
// read and write of the list through its methods is refused.
#include <Python.h>

#include "binding/def.hpp"
#include "vec_list/batch.hpp"
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

constexpr Py_ssize_t ROW_STRIDES[2] = {sizeof(galdrin::Vec3d), sizeof(double)};
double no_elements[3] = {};  // an empty list still exports a valid address

WriteLease& lease_of(PyObject* self) { return reinterpret_cast<Instance<WriteLease>*>(self)->value; }

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS) {
        PyErr_SetString(PyExc_BufferError, "VecList buffers are C-contiguous, not Fortran-contiguous");
        return -1;
    }
    auto* shape = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (!shape) {
        PyErr_NoMemory();
        return -1;
    }
    WriteLease& lease = lease_of(self);
    bool open;
    Py_BEGIN_CRITICAL_SECTION(self);
    open = !lease.released;
    if (open) ++lease.exports;
    Py_END_CRITICAL_SECTION();
    if (!open) {
        PyMem_Free(shape);
        PyErr_SetString(PyExc_BufferError, "the writable view was released");
        return -1;
    }
    VecStorage& items = reinterpret_cast<Instance<VecArray>*>(lease.list)->value.items;
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    const bool with_format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    shape[0] = static_cast<Py_ssize_t>(items.size());
    shape[1] = 3;
    view->buf = items.empty() ? no_elements : &items.data()->x;
    view->obj = Py_NewRef(self);
    view->len = shape[0] * static_cast<Py_ssize_t>(sizeof(galdrin::Vec3d));
    view->readonly = 0;
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
