// Module definitions of quorral and quorral.geometry and their exec steps.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "angle.hpp"
#include "binding/arrays.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"
#include "geometry/circle.hpp"
#include "geometry/plane.hpp"
#include "mat3.hpp"
#include "kd_index.hpp"
#include "quat.hpp"
#include "rigid_transform.hpp"
#include "vec3d.hpp"
#include "vec_list/vec_array.hpp"

namespace quorral {

int add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
    if (!all) {
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    } else if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    PyObject* text = PyUnicode_FromString(name);
    const int appended = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

namespace {

PyModuleDef_Slot geometry_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_geometry)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef geometry_def = {
    PyModuleDef_HEAD_INIT, "quorral.geometry", "", 0, nullptr, geometry_slots, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> first_interpreter{-1};
OnceCell<PyObject> geometry_module;

PyObject* create_geometry() {
    PyObject* types = PyImport_ImportModule("types");
    if (!types) return nullptr;
    PyObject* spec = PyObject_CallMethod(types, "SimpleNamespace", nullptr);
    Py_DECREF(types);
    if (!spec) return nullptr;
    PyObject* name = PyUnicode_FromString(geometry_def.m_name);
    PyObject* module = nullptr;
    if (name && PyObject_SetAttrString(spec, "name", name) == 0) module = PyModule_FromDefAndSpec(&geometry_def, spec);
    Py_XDECREF(name);
    Py_DECREF(spec);
    if (module && PyModule_ExecDef(module, &geometry_def) < 0) Py_CLEAR(module);
    return module;
}

int add_geometry(PyObject* module) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return -1;
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, "quorral does not support subinterpreters");
        return -1;
    }
    PyObject* geometry = geometry_module.get(create_geometry);
    if (!geometry) return -1;
    PyObject* full = PyModule_GetNameObject(geometry);
    if (!full) return -1;
    const char* text = PyUnicode_AsUTF8(full);
    const char* dot = text ? std::strrchr(text, '.') : nullptr;
    const int rc = text ? add_to_module(module, dot ? dot + 1 : text, geometry) : -1;
    Py_DECREF(full);
    return rc;
}

// The reconstructor that every pickle of the module's objects names: a private
// attribute, outside __all__, found by pickle as quorral._reconstruct.
PyMethodDef reconstruct_def = Def<void>::method<
    "_reconstruct(tag, data)", reconstruct<galdrin::AngleDegrees, galdrin::AngleRadians, galdrin::Quat, VecArray,
                                           galdrin::Vec3d, galdrin::Circle, galdrin::Plane, QuatArray,
                                           galdrin::Mat3, galdrin::RigidTransform, RigidArray, galdrin::KdTree>>();

// How new float arrays are made ("uninitialised" or "repeat"), for the tests: a
// private attribute, outside __all__.
PyMethodDef float_arrays_def = Def<void>::method<"_float_arrays()", []() -> PyObject* {
    const char* layout = float_array_layout();
    return layout ? PyUnicode_FromString(layout) : nullptr;
}>();

int add_function(PyObject* module, PyMethodDef& def) {
    PyObject* name = PyModule_GetNameObject(module);
    if (!name) return -1;
    PyObject* function = PyCMethod_New(&def, module, name, nullptr);
    Py_DECREF(name);
    if (!function) return -1;
    const int rc = PyObject_SetAttrString(module, def.ml_name, function);
    Py_DECREF(function);
    return rc;
}

int exec_quorral(PyObject* module) {
    if (PyModule_AddStringConstant(module, "__version__", QUORRAL_VERSION) < 0) return -1;
    if (add_function(module, reconstruct_def) < 0) return -1;
    if (add_function(module, float_arrays_def) < 0) return -1;
    if (add_class<galdrin::AngleDegrees>(module) < 0) return -1;
    if (add_class<galdrin::AngleRadians>(module) < 0) return -1;
    if (add_class<galdrin::Quat>(module) < 0) return -1;
    if (add_class<VecArray>(module) < 0) return -1;
    if (add_class<galdrin::Vec3d>(module) < 0) return -1;
    if (add_geometry(module) < 0) return -1;
    if (add_class<QuatArray>(module) < 0) return -1;
    if (add_class<galdrin::Mat3>(module) < 0) return -1;
    if (add_class<galdrin::RigidTransform>(module) < 0) return -1;
    if (add_class<RigidArray>(module) < 0) return -1;
    return add_class<galdrin::KdTree>(module);
}

PyModuleDef_Slot quorral_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_quorral)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef quorral_def = {
    PyModuleDef_HEAD_INIT, "quorral", "", 0, nullptr, quorral_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quorral

PyMODINIT_FUNC PyInit_quorral() { return PyModuleDef_Init(&quorral::quorral_def); }
