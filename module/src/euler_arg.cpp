#include "euler_arg.hpp"

namespace quorral {

bool Arg<galdrin::EulerSequence>::load(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    const auto parsed = text ? galdrin::parse_euler_sequence({text, static_cast<std::size_t>(size)}) : std::nullopt;
    if (!parsed) {
        PyErr_Clear();  // text UTF-8 cannot encode names no sequence either
        PyErr_Format(PyExc_ValueError,
                     "expected an Euler sequence of three axes from 'xyz' (extrinsic) or 'XYZ' (intrinsic), "
                     "consecutive axes different, got %R",
                     obj);
        return false;
    }
    value = *parsed;
    return true;
}

PyObject* warn_gimbal_lock(PyObject* result, bool locked) {
    if (!result || !locked) return result;
    if (PyErr_WarnEx(PyExc_UserWarning,
                     "gimbal lock: the angles are not unique; the third angle is set to 0", 1) < 0) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

}  // namespace quorral
