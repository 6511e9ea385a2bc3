// The Python classes of the module and the values they own. Each class's
// create() lives in its own source file.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "binding/object.hpp"
#include "format.hpp"

namespace galdrin {
struct Vec3d;
struct AngleRadians;
struct AngleDegrees;
struct Quat;
struct Mat3;
struct RigidTransform;
struct Plane;
struct Circle;
class KdTree;
}  // namespace galdrin

namespace quorral {

template <class E>
struct ElementList;  // elements of a VecList or QuatList
template <class E>
struct ElementSnapshot;  // elements and position of their iterators
using VecArray = ElementList<galdrin::Vec3d>;
using VecSnapshot = ElementSnapshot<galdrin::Vec3d>;
using QuatArray = ElementList<galdrin::Quat>;
using QuatSnapshot = ElementSnapshot<galdrin::Quat>;
using RigidArray = ElementList<galdrin::RigidTransform>;
using RigidSnapshot = ElementSnapshot<galdrin::RigidTransform>;

#define QUORRAL_CLASS(Value, Name)                  \
    template <>                                     \
    struct PyClass<Value> {                         \
        static constexpr const char* name = Name;   \
        static PyTypeObject* create();              \
    }

QUORRAL_CLASS(galdrin::Vec3d, "Vec3d");
QUORRAL_CLASS(galdrin::AngleRadians, "AngleRadians");
QUORRAL_CLASS(galdrin::AngleDegrees, "AngleDegrees");
QUORRAL_CLASS(galdrin::Quat, "Quat");
QUORRAL_CLASS(galdrin::Mat3, "Mat3");
QUORRAL_CLASS(galdrin::RigidTransform, "RigidTransform");
QUORRAL_CLASS(galdrin::Plane, "Plane");
QUORRAL_CLASS(galdrin::Circle, "Circle");
QUORRAL_CLASS(VecArray, "VecList");
QUORRAL_CLASS(VecSnapshot, "VecListIterator");
QUORRAL_CLASS(QuatArray, "QuatList");
QUORRAL_CLASS(QuatSnapshot, "QuatListIterator");
QUORRAL_CLASS(RigidArray, "RigidTransformList");
QUORRAL_CLASS(RigidSnapshot, "RigidTransformListIterator");
QUORRAL_CLASS(galdrin::KdTree, "KDTree");

#undef QUORRAL_CLASS

// "name(a, b, ...)" with each value in the float text, written into out;
// returns its length.
inline std::size_t write_call_text(const char* name, std::initializer_list<double> values, char* const out) {
    char* p = out;
    const auto put = [&](const char* s) { p += std::strlen(std::strcpy(p, s)); };
    put(name);
    put("(");
    for (const double* v = values.begin(); v != values.end(); ++v) {
        if (v != values.begin()) put(", ");
        p += galdrin::format_double(*v, p);
    }
    put(")");
    return static_cast<std::size_t>(p - out);
}

// The text form of a vector, "Vec3d(x, y, z)", written into out (VEC3D_TEXT_SIZE bytes).
inline constexpr std::size_t VEC3D_TEXT_SIZE = 3 * galdrin::FORMAT_BUFFER_SIZE + 16;
std::size_t write_text(const galdrin::Vec3d& v, char* out);

// The text form of a quaternion, "Quat(w, i, j, k)", written into out (QUAT_TEXT_SIZE bytes).
inline constexpr std::size_t QUAT_TEXT_SIZE = 4 * galdrin::FORMAT_BUFFER_SIZE + 16;
std::size_t write_text(const galdrin::Quat& q, char* out);

// The text form of a rigid transform, "RigidTransform(Quat(...), Vec3d(...))",
// written into out (RIGID_TEXT_SIZE bytes).
inline constexpr std::size_t RIGID_TEXT_SIZE = QUAT_TEXT_SIZE + VEC3D_TEXT_SIZE + 24;
std::size_t write_text(const galdrin::RigidTransform& x, char* out);

// Vec3d.distance_squared, compiled once and never inlined. Where two NaNs
// meet, the NaN that comes out depends on the order the compiler gave the
// operands; the nearest-point search takes every key from this same code, so
// that its keys are the method's bits in every piece and pass.
[[gnu::noipa]] double distance_squared_key(const galdrin::Vec3d& a, const galdrin::Vec3d& b);

// Adds the submodule's functions and classes (geometry/intersection.cpp).
int exec_geometry(PyObject* module);

// Appends `name` to module.__all__ (creating the list) and sets the attribute.
int add_to_module(PyObject* module, const char* name, PyObject* value);

template <Bound V>
int add_class(PyObject* module) {
    PyTypeObject* type = type_object<V>();
    return type ? add_to_module(module, PyClass<V>::name, reinterpret_cast<PyObject*>(type)) : -1;
}

}  // namespace quorral
