// Argument holders (Python object -> C++ parameter, entering access states)
// and result conversion (C++ value -> new Python object).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "binding/errors.hpp"
#include "binding/object.hpp"

namespace quorral {

using Index = std::uint64_t;

// Arg<T> is keyed on a C++ parameter type. load() converts, or fails with a
// Python error set; the destructor leaves whatever access state was entered.
template <class T>
struct Arg;

template <>
struct Arg<double> {
    double value = 0.0;
    bool load(PyObject* obj) {
        if (PyFloat_CheckExact(obj)) {
            value = PyFloat_AS_DOUBLE(obj);
            return true;
        }
        value = PyFloat_AsDouble(obj);
        return !(value == -1.0 && PyErr_Occurred());
    }
    double get() const { return value; }
};

template <>
struct Arg<Index> {
    Index value = 0;
    bool load(PyObject* obj) {
        if (PyLong_Check(obj)) return read(obj);
        PyObject* index = PyNumber_Index(obj);
        if (!index) return false;
        const bool ok = read(index);
        Py_DECREF(index);
        return ok;
    }
    Index get() const { return value; }

private:
    bool read(PyObject* obj) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        value = v;
        return true;
    }
};

bool load_bool(PyObject* obj, bool& out);

template <>
struct Arg<bool> {
    bool value = false;
    bool load(PyObject* obj) { return load_bool(obj, value); }
    bool get() const { return value; }
};

// Any object, borrowed for the call.
template <>
struct Arg<PyObject*> {
    PyObject* value = nullptr;
    bool load(PyObject* obj) {
        value = obj;
        return true;
    }
    PyObject* get() const { return value; }
};

// An instance of one of the module's classes, entered for reading.
template <Bound V>
struct Arg<const V&> {
    Instance<V>* obj = nullptr;
    Arg() = default;
    Arg(const Arg&) = delete;
    ~Arg() {
        if (obj) obj->access.end_read();
    }
    bool load(PyObject* o) {
        Instance<V>* inst = instance_of<V>(o);
        if (!inst) {
            raise_not_instance(o, PyClass<V>::name);
            return false;
        }
        if (!inst->access.try_read()) {
            raise_read_refused();
            return false;
        }
        obj = inst;
        return true;
    }
    const V& get() const { return obj->value; }
};

// An instance entered for writing (methods that change their receiver).
template <Bound V>
struct Arg<V&> {
    Instance<V>* obj = nullptr;
    Arg() = default;
    Arg(const Arg&) = delete;
    ~Arg() {
        if (obj) obj->access.end_write();
    }
    bool load(PyObject* o) {
        Instance<V>* inst = instance_of<V>(o);
        if (!inst) {
            raise_not_instance(o, PyClass<V>::name);
            return false;
        }
        if (!inst->access.try_write()) {
            raise_write_refused();
            return false;
        }
        obj = inst;
        return true;
    }
    V& get() const { return obj->value; }
};

// By-value class parameters read like const references.
template <Bound V>
struct Arg<V> : Arg<const V&> {};

inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
inline PyObject* to_py(Index v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py(PyObject* v) { return v; }  // already a new reference (or nullptr with an error)
inline PyObject* to_py(const std::string& v) {
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}
template <Bound V>
PyObject* to_py(V v) {
    return wrap<V>(std::move(v));
}

template <class T, std::size_t N>
PyObject* to_py(const std::array<T, N>& items);
template <class... T>
PyObject* to_py(std::tuple<T...> items);

// A list built with its final length, filled in order.
template <class Seq>
PyObject* list_of(const Seq& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(std::size(items)));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* obj = to_py(item);
        if (!obj) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i++, obj);
    }
    return list;
}

template <class T, std::size_t N>
PyObject* to_py(const std::array<T, N>& items) {
    return list_of(items);
}

// A tuple of the converted items, in order.
template <class... T>
PyObject* to_py(std::tuple<T...> items) {
    PyObject* tuple = PyTuple_New(sizeof...(T));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    const auto put = [&](PyObject* item) {
        PyTuple_SET_ITEM(tuple, i++, item);
        return item != nullptr;
    };
    const bool filled = std::apply([&](auto&... item) { return (put(to_py(std::move(item))) && ...); }, items);
    if (!filled) {
        Py_DECREF(tuple);
        return nullptr;
    }
    return tuple;
}

template <class A, class B>
PyObject* to_py(std::pair<A, B> pair) {
    return to_py(std::tuple<A, B>(std::move(pair.first), std::move(pair.second)));
}

}  // namespace quorral
