#include "binding/object.hpp"

namespace quorral {

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
    if (type && keep->vectorcall) type->tp_vectorcall = keep->vectorcall;
    return type;
}

}  // namespace quorral
