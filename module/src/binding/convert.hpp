// Argument holders (Python object -> C++ parameter, entering access states)
// and result conversion (C++ value -> new Python object).
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
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

// A str, kept as the object: compared without encoding it, so that text
// UTF-8 cannot encode (a lone surrogate) simply equals no name.
struct Str {
    PyObject* object;
    bool equals(std::string_view text) const {
        return PyUnicode_EqualToUTF8AndSize(object, text.data(), static_cast<Py_ssize_t>(text.size())) == 1;
    }
};

template <>
struct Arg<Str> {
    Str value{nullptr};
    bool load(PyObject* obj) {
        if (!PyUnicode_Check(obj)) {
            raise_not_instance(obj, "str");
            return false;
        }
        value.object = obj;
        return true;
    }
    Str get() const { return value; }
};

// None, or else a T: the parameter of a "name=None" default.
template <class T>
struct Arg<std::optional<T>> {
    std::optional<Arg<T>> inner;
    bool load(PyObject* obj) {
        if (obj == Py_None) return true;
        return inner.emplace().load(obj);
    }
    std::optional<T> get() { return inner ? std::optional<T>(inner->get()) : std::nullopt; }
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

// A copy of an instance's value (AccessState::try_copy), in place of Arg<const
// V&> for a borrow during which no Python code can run. Fails like it.
template <Bound V>
struct Copied {
    V value;
    AccessState* access = nullptr;
    std::uint64_t stamp = 0;
    bool load(PyObject* o) {
        Instance<V>* inst = instance_of<V>(o);
        if (!inst) {
            raise_not_instance(o, PyClass<V>::name);
            return false;
        }
        if (!inst->access.try_copy(inst->value, value, stamp)) {
            raise_read_refused();
            return false;
        }
        access = &inst->access;
        return true;
    }
    const V& get() const { return value; }
    bool consistent() const { return access->unchanged_since(stamp); }
};

// Whether a loaded holder's value still stands: copies are checked again once
// every operand has been loaded (one object may be several operands); borrows
// stand until they are left.
template <class H>
bool consistent(const H& holder) {
    if constexpr (requires { holder.consistent(); })
        return holder.consistent();
    else
        return true;
}

// Runs attempt.template operator()<Reader>(torn) with Reader = Copied<V> when
// V is read by copies, and again with borrows (Arg<const V&>) if it set torn:
// copies of its operands that did not all hold at one instant.
template <Bound V, class F>
PyObject* with_copies_or_borrows(F&& attempt) {
    bool torn = false;
    if constexpr (AccessState::copyable<V>) {
        PyObject* result = attempt.template operator()<Copied<V>>(torn);
        if (!torn) return result;
    }
    return attempt.template operator()<Arg<const V&>>(torn);
}

// Quiet<T>::Holder loads a parameter of type T without an access-state write
// where it can, and Quiet<T>::check(obj) says whether loading obj runs no
// Python code. Calls whose sources all pass check() use those holders.
template <class T>
struct Quiet {
    static constexpr bool known = false;
    static constexpr bool copies = false;
};

template <>
struct Quiet<double> {
    static constexpr bool known = true;
    static constexpr bool copies = false;
    using Holder = Arg<double>;
    static bool check(PyObject* obj) { return PyFloat_CheckExact(obj) || PyLong_CheckExact(obj); }
};

template <>
struct Quiet<Index> {
    static constexpr bool known = true;
    static constexpr bool copies = false;
    using Holder = Arg<Index>;
    static bool check(PyObject* obj) { return PyLong_Check(obj); }
};

template <Bound V>
    requires AccessState::copyable<V>
struct Quiet<const V&> {
    static constexpr bool known = true;
    static constexpr bool copies = true;
    using Holder = Copied<V>;
    static bool check(PyObject*) { return true; }
};

template <Bound V>
    requires AccessState::copyable<V>
struct Quiet<V> : Quiet<const V&> {};

// Values read by copies are written only through property setters.
template <class T>
inline constexpr bool writes_copyable = false;
template <Bound V>
inline constexpr bool writes_copyable<V&> = AccessState::copyable<V>;

// A reader of an instance for a borrow during which no Python code runs.
template <Bound V>
using QuietReader = std::conditional_t<AccessState::copyable<V>, Copied<V>, Arg<const V&>>;

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

namespace quorral {

// A sequence (any object passing the sequence check, but not a str) whose
// items are all instances of V, copied out in order. Items are entered for
// reading only while they are copied. Exact lists and tuples are read in place.
template <Bound V, class Alloc>
struct Arg<std::vector<V, Alloc>> {
    std::vector<V, Alloc> items;

    bool load(PyObject* obj) {
        if (PyUnicode_Check(obj)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            return false;
        }
        if (!PySequence_Check(obj)) {
            raise_not_instance(obj, "Sequence");
            return false;
        }
        PyTypeObject* type = type_object<V>();
        if (!type) return false;
        if (PyTuple_CheckExact(obj)) {
            return load_array(type, obj, PyTuple_GET_SIZE(obj), [](PyObject* t, Py_ssize_t i) {
                return PyTuple_GET_ITEM(t, i);
            }) || fail();
        }
        if (PyList_CheckExact(obj)) {
            bool ok;
            // Other threads may resize the list; the lock keeps its items in place while they are copied.
            Py_BEGIN_CRITICAL_SECTION(obj);
            ok = load_array(type, obj, PyList_GET_SIZE(obj), [](PyObject* l, Py_ssize_t i) {
                return PyList_GET_ITEM(l, i);
            });
            Py_END_CRITICAL_SECTION();
            return ok || fail();
        }
        return load_iterable(type, obj);
    }

    std::vector<V, Alloc>&& get() { return std::move(items); }

private:
    enum class Read { Done, NotInstance, Refused, NoMemory };
    PyObject* bad_ = nullptr;  // the item that failed, kept until its error is raised
    Read failure_ = Read::Done;

    static Read read(PyTypeObject* type, PyObject* item, V& out) {
        if (Py_TYPE(item) != type) return Read::NotInstance;
        auto* inst = reinterpret_cast<Instance<V>*>(item);
        if constexpr (AccessState::copyable<V>) {
            std::uint64_t stamp;
            return inst->access.try_copy(inst->value, out, stamp) ? Read::Done : Read::Refused;
        } else {
            if (!inst->access.try_read()) return Read::Refused;
            out = inst->value;
            inst->access.end_read();
            return Read::Done;
        }
    }

    // Raises the recorded failure (outside any lock).
    bool fail() {
        if (failure_ == Read::NotInstance) raise_not_instance(bad_, PyClass<V>::name);
        if (failure_ == Read::Refused) raise_read_refused();
        if (failure_ == Read::NoMemory) PyErr_NoMemory();
        Py_CLEAR(bad_);
        return false;
    }

    template <class GetItem>
    bool load_array(PyTypeObject* type, PyObject* obj, Py_ssize_t n, GetItem get_item) {
        try {  // nothing may unwind through the caller's lock
            items.resize(static_cast<std::size_t>(n));
        } catch (const std::bad_alloc&) {
            failure_ = Read::NoMemory;
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = get_item(obj, i);
            failure_ = read(type, item, items[static_cast<std::size_t>(i)]);
            if (failure_ != Read::Done) {
                bad_ = Py_NewRef(item);
                return false;
            }
        }
        return true;
    }

    bool load_iterable(PyTypeObject* type, PyObject* obj) {
        // The length only sizes the first allocation, and a length that lies is not trusted far.
        const Py_ssize_t hint = PyObject_Length(obj);
        if (hint < 0)
            PyErr_Clear();
        else
            items.reserve(std::min(static_cast<std::size_t>(hint), std::size_t{1} << 20));
        PyObject* iter = PyObject_GetIter(obj);
        if (!iter) return false;
        while (PyObject* item = PyIter_Next(iter)) {
            V value;
            failure_ = read(type, item, value);
            if (failure_ != Read::Done) {
                bad_ = item;
                Py_DECREF(iter);
                return fail();
            }
            Py_DECREF(item);
            items.push_back(value);
        }
        Py_DECREF(iter);
        return !PyErr_Occurred();
    }
};

}  // namespace quorral
