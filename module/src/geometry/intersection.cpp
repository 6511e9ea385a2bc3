// The functions of quorral.geometry and the submodule's exec step.
#include <variant>

#include "binding/def.hpp"
#include "classes.hpp"
#include "geometry/intersection.hpp"

namespace quorral {

using galdrin::Circle;
using galdrin::Plane;
using galdrin::Vec3d;

namespace {

PyObject* circle_circle(const Circle& circle1, const Circle& circle2) {
    const auto result = galdrin::circle_circle(circle1, circle2);
    if (const auto* error = std::get_if<galdrin::IntersectionError>(&result)) {
        PyErr_SetString(PyExc_ValueError, galdrin::message(*error));
        return nullptr;
    }
    const auto& points = std::get<galdrin::CrossingPoints>(result);
    return to_py(std::pair{points.first, points.second});
}

// A builtin function whose __module__ is the module's name; `def` must outlive it.
int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* name = PyModule_GetNameObject(module);
    if (!name) return -1;
    PyObject* function = PyCMethod_New(def, module, name, nullptr);
    Py_DECREF(name);
    if (!function) return -1;
    const int rc = add_to_module(module, def->ml_name, function);
    Py_DECREF(function);
    return rc;
}

}  // namespace

int exec_geometry(PyObject* module) {
    using D = Def<void>;
    static PyMethodDef functions[] = {
        D::method<"circle_circle(circle1, circle2)", circle_circle>(),
        D::method<"circle_point(circle, point, inner)", [](const Circle& circle, const Vec3d& point, bool inner) {
            return !galdrin::circle_point(circle, point, inner).has_value();
        }>(),
        D::method<"circle_point_unchecked(circle, point, inner)",
                  [](const Circle& circle, const Vec3d& point, bool inner) {
                      return !galdrin::circle_point_unchecked(circle, point, inner).has_value();
                  }>(),
        D::method<"plane_line(plane, a, b)", [](const Plane& plane, const Vec3d& a, const Vec3d& b) {
            return galdrin::plane_line(plane, a, b);
        }>(),
    };
    if (add_class<Circle>(module) < 0) return -1;
    for (PyMethodDef& def : functions)
        if (add_function(module, &def) < 0) return -1;
    return add_class<Plane>(module);
}

}  // namespace quorral
