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

bool FieldTable::fill(PyTypeObject* type) {
    PyObject* dict = PyType_GetDict(type);
    if (!dict) return false;
    for (const PyGetSetDef* def = type->tp_getset; def && def->name; ++def) {
        if (!def->set) continue;
        if (count_ == CAPACITY) break;
        PyObject* name = PyUnicode_InternFromString(def->name);
        PyObject* descr = name ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (!descr) {
            Py_XDECREF(name);
            Py_DECREF(dict);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "property missing from its class");
            return false;
        }
        names_[count_] = name;
        descrs_[count_] = Py_NewRef(descr);
        defs_[count_] = def;
        ++count_;
    }
    Py_DECREF(dict);
    return true;
}

const PyGetSetDef* FieldTable::verify(PyTypeObject* type, int n) {
    // A tag is never given to a type twice: descriptors seen in place between
    // two reads of the same tag are in place whenever the type has that tag.
    if (!PyUnstable_Type_AssignVersionTag(type)) return nullptr;
    const unsigned tag = std::atomic_ref<unsigned>(type->tp_version_tag).load(std::memory_order_acquire);
    PyObject* dict = PyType_GetDict(type);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    bool same = true;
    for (int m = 0; same && m < count_; ++m) {
        PyObject* descr = nullptr;
        if (PyDict_GetItemRef(dict, names_[m], &descr) < 0) PyErr_Clear();
        same = descr == descrs_[m];
        Py_XDECREF(descr);
    }
    Py_DECREF(dict);
    if (!same || std::atomic_ref<unsigned>(type->tp_version_tag).load(std::memory_order_acquire) != tag)
        return nullptr;
    verified_.store(tag, std::memory_order_relaxed);
    return defs_[n];
}

}  // namespace quorral
