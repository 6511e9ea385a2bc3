#include "binding/def.hpp"

#include <string>

namespace quorral {

namespace {

std::string full_name(std::string_view owner, std::string_view name) {
    std::string full;
    if (!owner.empty()) (full += owner) += '.';
    (full += name) += "()";
    return full;
}

void raise_missing(const std::string& full, const Signature& sig, PyObject* const* out) {
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        if (listed > 0) names += missing > 2 ? ", " : " ";
        if (listed > 0 && listed + 1 == missing) names += "and ";
        ((names += '\'') += sig.params[i]) += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", full.c_str(), missing,
                 missing == 1 ? "" : "s", names.c_str());
}

}  // namespace

bool bind_arguments(std::string_view owner, std::string_view name, const Signature& sig, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(sig.count);
    const auto required = static_cast<Py_ssize_t>(sig.required);
    if (nargs > count && required == count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     full_name(owner, name).c_str(), count, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                     full_name(owner, name).c_str(), required, count, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = 0;
        while (slot < count && !Str{keyword}.equals(sig.params[static_cast<std::size_t>(slot)])) ++slot;
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         full_name(owner, name).c_str(), keyword);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", full_name(owner, name).c_str(),
                         keyword);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!out[i]) {
            raise_missing(full_name(owner, name), sig, out);
            return false;
        }
    }
    return true;
}

PyObject* default_object(std::string_view text) {
    if (text == "None") return Py_NewRef(Py_None);
    if (text == "True") return Py_NewRef(Py_True);
    if (text == "False") return Py_NewRef(Py_False);
    const std::string digits(text);
    if (digits.find_first_of(".eEn") == std::string::npos) return PyLong_FromString(digits.c_str(), nullptr, 10);
    const double value = PyOS_string_to_double(digits.c_str(), nullptr, PyExc_ValueError);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
}

}  // namespace quorral
