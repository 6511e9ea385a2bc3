// Pickling and copying. Every picklable class reduces to
// quorral._reconstruct(tag, state): the class name and the value's bytes, so
// that the round trip keeps the exact bits (protocol 0 writes floats as
// text, which would lose NaN payloads) and bypasses the constructors (a
// Plane's stored normal is not normalised again). The reconstructor is a
// private attribute of quorral: the classes' __module__ is "builtins", where
// pickle cannot find them, and the submodule is not in sys.modules.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>

#include "binding/buffer.hpp"
#include "binding/def.hpp"

namespace quorral {

// The state a pickle carries for a value: state(v) gives its bytes, and
// build(bytes) the value again from a state whose size is `unit` bytes (or,
// when `repeated`, any multiple of it). A class with large states sets
// out_of_band: protocol 5 gets the state as a PickleBuffer, which pickle may
// carry out of band. That buffer is over a copy, never the object's own
// export, so that a reduce tuple kept alive (a Pickler's memo) does not keep
// the object borrowed.
template <class V>
struct PickleState;

// A plain record of doubles is its own bytes.
template <class V>
    requires std::is_trivially_copyable_v<V> && (sizeof(V) % sizeof(double) == 0)
struct PickleState<V> {
    static constexpr std::size_t unit = sizeof(V);
    static constexpr bool repeated = false;
    static constexpr bool out_of_band = false;
    static std::span<const std::byte> state(const V& value) { return std::as_bytes(std::span(&value, 1)); }
    static V build(std::span<const std::byte> bytes) {
        V value;
        std::memcpy(&value, bytes.data(), sizeof(V));
        return value;
    }
};

// quorral._reconstruct, looked up when needed: the module may have been imported again.
PyObject* reconstructor();

// ValueError for a state of `size` bytes given to class `tag`.
std::nullptr_t raise_bad_state(const char* tag, std::size_t unit, bool repeated, std::size_t size);

// The (reconstructor, (tag, state)) pair that pickle and copy ask __reduce_ex__ for.
template <Bound V>
PyObject* reduce_ex(PyObject* self, Index protocol) {
    using S = PickleState<V>;
    PyObject* state = nullptr;
    {
        Arg<const V&> value;
        if (!value.load(self)) return nullptr;
        const std::span<const std::byte> bytes = S::state(value.get());
        state = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<Py_ssize_t>(bytes.size()));
    }
    if (state && S::out_of_band && protocol >= 5) Py_SETREF(state, PyPickleBuffer_FromObject(state));
    if (!state) return nullptr;
    PyObject* function = reconstructor();
    if (!function) {
        Py_DECREF(state);
        return nullptr;
    }
    return Py_BuildValue("(N(sN))", function, PyClass<V>::name, state);
}

template <Bound V>
PyMethodDef reduce_method() {
    return Def<V>::template method<"__reduce_ex__($self, protocol)", reduce_ex<V>>();
}

template <Bound V>
PyObject* rebuild(std::span<const std::byte> state) {
    using S = PickleState<V>;
    const std::size_t size = state.size();
    if (S::repeated ? size % S::unit != 0 : size != S::unit)
        return raise_bad_state(PyClass<V>::name, S::unit, S::repeated, size);
    return to_py(S::build(state));
}

// The reconstructor over the given classes: only their values are ever built.
template <Bound... V>
PyObject* reconstruct(Str tag, Bytes state) {
    PyObject* result = nullptr;
    const bool known = ((tag.equals(PyClass<V>::name) && (result = rebuild<V>(state.data), true)) || ...);
    if (!known) PyErr_Format(PyExc_ValueError, "no picklable class named '%U'", tag.object);
    return result;
}

}  // namespace quorral
