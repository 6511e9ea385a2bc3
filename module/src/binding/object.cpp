#include "binding/object.hpp"

namespace quorral {

namespace {

// Types live as long as the process. On the free-threaded 3.13 build a type
// made by PyType_FromSpec keeps one reference count that every instance
// created or freed, on any thread, changes atomically; made immortal (as the
// interpreter does for its own types) it is left alone. 3.14 counts heap-type
// references per thread and has an API for the rest.
void keep_for_process(PyTypeObject* type) {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030E0000
    PyUnstable_Object_EnableDeferredRefcount(reinterpret_cast<PyObject*>(type));
#elif defined(Py_GIL_DISABLED)
    // Not yet published: no other thread holds a reference.
    PyObject_GC_UnTrack(type);
    PyObject* obj = reinterpret_cast<PyObject*>(type);
    obj->ob_tid = 0;
    obj->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
    obj->ob_ref_shared = 0;
#else
    (void)type;
#endif
}

}  // namespace

PyTypeObject* create_type(ClassSpec spec, int basicsize, destructor dealloc_fn) {
    // The type keeps pointers into these for good.
    auto* keep = new ClassSpec(std::move(spec));
    auto* qualified = new std::string(std::string("builtins.") + keep->name);

    keep->methods.push_back({nullptr, nullptr, 0, nullptr});
    keep->properties.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    std::vector<PyType_Slot>& slots = keep->slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fn)});
    slots.push_back({Py_tp_methods, keep->methods.data()});
    slots.push_back({Py_tp_getset, keep->properties.data()});
    if (keep->doc) slots.push_back({Py_tp_doc, const_cast<char*>(keep->doc)});
    if (keep->new_) slots.push_back({Py_tp_new, reinterpret_cast<void*>(keep->new_)});
    slots.push_back({0, nullptr});

    unsigned flags = Py_TPFLAGS_DEFAULT;
    if (!keep->new_) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{qualified->c_str(), basicsize, 0, flags, slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!type) return nullptr;
    if (keep->vectorcall) type->tp_vectorcall = keep->vectorcall;
    for (const char* name : keep->nones) {
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, Py_None) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    keep_for_process(type);
    return type;
}

}  // namespace quorral
