// The Euler sequence argument and the gimbal-lock warning, shared by Quat and QuatList.
#pragma once

#include <Python.h>

#include "binding/convert.hpp"
#include "euler.hpp"

namespace quorral {

// A str naming an Euler sequence (euler.hpp); anything else raises TypeError,
// a str that names none ValueError quoting it.
template <>
struct Arg<galdrin::EulerSequence> {
    galdrin::EulerSequence value{};
    bool load(PyObject* obj);
    const galdrin::EulerSequence& get() const { return value; }
};

// Radians per degree and degrees per radian, as the conversions multiply by them.
inline constexpr double RADIANS_PER_DEGREE = galdrin::PI / 180.0;
inline constexpr double DEGREES_PER_RADIAN = 180.0 / galdrin::PI;

// Takes `result` (a new reference or nullptr): when locked, issues the
// gimbal-lock UserWarning first, and gives nullptr if the warning was raised.
PyObject* warn_gimbal_lock(PyObject* result, bool locked);

}  // namespace quorral
