// Python objects that own one value, and the process-wide type of each class.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/access.hpp"
#include "binding/once.hpp"

namespace quorral {

// Specialised once per Python class (see classes.hpp):
//   static constexpr const char* name;    the class name
//   static PyTypeObject* create();        builds the type (called once per process)
template <class V>
struct PyClass;

template <class V>
concept Bound = requires { PyClass<V>::name; };

template <class V>
struct Instance {
    PyObject_HEAD
    V value;
    AccessState access;
};

template <Bound V>
PyTypeObject* type_object() {
    static OnceCell<PyTypeObject> cell;
    return cell.get([] { return PyClass<V>::create(); });
}

template <Bound V>
Instance<V>* instance_of(PyObject* obj) {
    return Py_TYPE(obj) == type_object<V>() ? reinterpret_cast<Instance<V>*>(obj) : nullptr;
}

// Memory of a few freed instances of one class, reused by the next ones: the
// interpreter's allocator costs more than the rest of a small operation. Only
// with the global lock, which every allocation and release holds; the
// free-threaded build has none (a list per thread would keep what other
// threads free), and address-sanitizer builds keep every release visible.
template <class V>
struct FreeList {
#if defined(Py_GIL_DISABLED) || defined(__SANITIZE_ADDRESS__)
    static void* take() { return PyObject_Malloc(sizeof(Instance<V>)); }
    static void give(void* block) { PyObject_Free(block); }
#else
    static constexpr int CAPACITY = 32;
    static void* take() { return count > 0 ? blocks[--count] : PyObject_Malloc(sizeof(Instance<V>)); }
    static void give(void* block) {
        if (count < CAPACITY)
            blocks[count++] = block;
        else
            PyObject_Free(block);
    }

private:
    inline static void* blocks[CAPACITY];
    inline static int count = 0;
#endif
};

template <Bound V>
PyObject* new_instance(PyTypeObject* type, V&& value) {
    auto* obj = static_cast<Instance<V>*>(FreeList<V>::take());
    if (!obj) return PyErr_NoMemory();
    new (&obj->value) V(std::move(value));
    new (&obj->access) AccessState();
    return PyObject_Init(reinterpret_cast<PyObject*>(obj), type);
}

template <Bound V>
PyObject* wrap(V value) {
    PyTypeObject* type = type_object<V>();
    return type ? new_instance<V>(type, std::move(value)) : nullptr;
}

template <class V>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<V>*>(self)->value.~V();
    FreeList<V>::give(self);
    Py_DECREF(type);
}

// Everything a class hands to PyType_FromSpec; kept alive for the process.
struct ClassSpec {
    const char* name;
    const char* doc = nullptr;  // text signature; no doc means no constructor
    std::vector<PyType_Slot> slots;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> properties;
    std::vector<const char*> nones;  // class attributes that are None
    newfunc new_ = nullptr;
    vectorcallfunc vectorcall = nullptr;
};

PyTypeObject* create_type(ClassSpec spec, int basicsize, destructor dealloc_fn);

// The settable properties of a class, for assignments to instance
// attributes: a name that is one of their interned names goes straight to the
// setter, past the generic lookup (the type's cache, the descriptor's checks),
// while the class dictionary holds their descriptors. Class attributes can be
// reassigned, which gives the type a new version tag. Reads keep the generic
// lookup: a class with a getattro of its own loses the interpreter's
// specialised method calls.
class FieldTable {
public:
    // Once the type is made, before it is published; false with an error set.
    bool fill(PyTypeObject* type);
    // The property called `name`, or nullptr for the generic lookup.
    const PyGetSetDef* find(PyTypeObject* type, PyObject* name) {
        for (int n = 0; n < count_; ++n) {
            if (names_[n] != name) continue;
            const unsigned tag = std::atomic_ref<unsigned>(type->tp_version_tag).load(std::memory_order_relaxed);
            if (tag == 0 || tag != verified_.load(std::memory_order_relaxed)) return verify(type, n);
            return defs_[n];
        }
        return nullptr;
    }

private:
    static constexpr int CAPACITY = 4;  // more settable properties take the generic lookup
    const PyGetSetDef* verify(PyTypeObject* type, int n);
    PyObject* names_[CAPACITY]{};
    PyObject* descrs_[CAPACITY]{};
    const PyGetSetDef* defs_[CAPACITY]{};
    int count_ = 0;
    std::atomic<unsigned> verified_{0};
};

template <class V>
inline FieldTable field_table;

template <class V>
int set_attribute(PyObject* self, PyObject* name, PyObject* value) {
    if (const PyGetSetDef* def = field_table<V>.find(Py_TYPE(self), name)) return def->set(self, value, def->closure);
    return PyObject_GenericSetAttr(self, name, value);
}

template <class V>
PyTypeObject* create_type(ClassSpec spec) {
    bool settable = false;
    for (const PyGetSetDef& p : spec.properties) settable = settable || p.set;
    PyTypeObject* type = create_type(std::move(spec), static_cast<int>(sizeof(Instance<V>)), &dealloc<V>);
    if (type && settable) {
        if (!field_table<V>.fill(type)) {
            Py_DECREF(type);
            return nullptr;
        }
        type->tp_setattro = &set_attribute<V>;
    }
    return type;
}

}  // namespace quorral

namespace quorral {

template <class F>
PyType_Slot slot(int id, F* fn) {
    return {id, reinterpret_cast<void*>(fn)};
}

}  // namespace quorral
