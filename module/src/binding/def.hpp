// Definitions of class members and module functions from a text signature and
// a plain C++ function. The signature gives the docstring, the parameter names
// and whether the member takes $self; the function's parameter types choose
// the conversions (convert.hpp); its result is converted back with to_py.
//
//   Def<Vec3d>::method<"dot($self, other)", [](const Vec3d& a, const Vec3d& b) { return dot(a, b); }>()
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/convert.hpp"
#include "binding/once.hpp"

namespace quorral {

template <std::size_t N>
struct Text {
    char chars[N]{};
    constexpr Text(const char (&s)[N]) { std::copy_n(s, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

// A parameter written "name=default" is optional: when the caller leaves it
// out, it takes the object of its default text (a float, an int, True, False
// or None), as if passed. Optional parameters follow the required ones.
struct Signature {
    std::string_view name;
    std::array<std::string_view, 8> params{};
    std::array<std::string_view, 8> defaults{};  // empty for a required parameter
    std::size_t count = 0;
    std::size_t required = 0;
    bool self = false;
    bool ordered = true;  // no required parameter after an optional one
};

constexpr Signature parse_signature(std::string_view text) {
    Signature sig;
    const std::size_t open = text.find('(');
    sig.name = text.substr(0, open);
    std::string_view inner = text.substr(open + 1, text.size() - open - 2);
    while (!inner.empty()) {
        const std::size_t comma = inner.find(", ");
        const std::string_view param = inner.substr(0, comma);
        const std::size_t equals = param.find('=');
        if (param == "$self") {
            sig.self = true;
        } else if (equals == std::string_view::npos) {
            sig.ordered = sig.ordered && sig.required == sig.count;
            sig.params[sig.count++] = param;
            sig.required = sig.count;
        } else {
            sig.params[sig.count] = param.substr(0, equals);
            sig.defaults[sig.count++] = param.substr(equals + 1);
        }
        inner = comma == std::string_view::npos ? std::string_view{} : inner.substr(comma + 2);
    }
    return sig;
}

// The signature followed by "\n--\n\n", as the interpreter's text-signature docstring.
template <Text S>
inline constexpr auto docstring = [] {
    std::array<char, sizeof(S.chars) + 5> doc{};
    std::copy_n(S.chars, sizeof(S.chars) - 1, doc.begin());
    std::copy_n("\n--\n\n", 6, doc.begin() + sizeof(S.chars) - 1);
    return doc;
}();

// Fills `out` with one object per parameter from positional and keyword
// arguments, or raises the binding TypeError naming `owner.name()`.
bool bind_arguments(std::string_view owner, std::string_view name, const Signature& sig, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// A new object for a default text: None, True, False, an int or a float
// (nullptr with an error set for any other text).
PyObject* default_object(std::string_view text);

// The default objects of a signature's optional parameters, made once and
// kept for the life of the process.
template <Text S>
PyObject* default_of(std::size_t param) {
    static constexpr Signature sig = parse_signature(S.view());
    static OnceCell<PyObject> cells[sig.count > 0 ? sig.count : 1];
    return cells[param].get([param] { return default_object(sig.defaults[param]); });
}

template <class F>
struct FunctionType;
template <class R, class... A>
struct FunctionType<R (*)(A...)> {
    using Result = R;
    using Params = std::tuple<A...>;
};

enum class OnFailure { Raise, NotImplemented };

// The class of a parameter that takes an instance (const V&, V& or V).
template <class P>
struct InstanceParam {};
template <Bound V>
struct InstanceParam<const V&> {
    using Value = V;
};
template <Bound V>
struct InstanceParam<V&> {
    using Value = V;
};
template <Bound V>
struct InstanceParam<V> {
    using Value = V;
};

// Converts sources[i] into parameter i, in order; the first failure ends the
// call (with the argument prefix for names[i] when named, or with
// NotImplemented and no error in NotImplemented mode) and everything entered
// so far is left again.
template <auto Fn, OnFailure Mode = OnFailure::Raise, class = decltype(+Fn)>
struct Call;

template <auto Fn, OnFailure Mode, class R, class... A>
struct Call<Fn, Mode, R (*)(A...)> {
    static PyObject* run(PyObject* const* sources, const std::string_view* names) {
        static_assert(!(writes_copyable<A> || ...), "values read by copies change only through setters");
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            constexpr auto indices = std::index_sequence_for<A...>{};
            bool torn = false;
            if constexpr (quiet) {
                if (all_quiet(sources, indices)) {
                    PyObject* result = run_with<typename Quiet<A>::Holder...>(sources, names, indices, torn);
                    if (!torn) return result;
                }
            }
            return run_with<Arg<A>...>(sources, names, indices, torn);
        });
    }

private:
    // Whether the call can take copies in place of borrows, when no argument runs Python code.
    static constexpr bool quiet = [] {
        if constexpr ((Quiet<A>::known && ...)) return (Quiet<A>::copies || ...);
        return false;
    }();

    template <std::size_t... I>
    static bool all_quiet(PyObject* const* sources, std::index_sequence<I...>) {
        if constexpr (quiet) return (Quiet<A>::check(sources[I]) && ...);
        return false;
    }

    template <class... H, std::size_t... I>
    static PyObject* run_with(PyObject* const* sources, const std::string_view* names, std::index_sequence<I...>,
                              bool& torn) {
        std::tuple<H...> args;
        const bool loaded = (load<A>(std::get<I>(args), sources[I], names ? names[I] : std::string_view{}) && ...);
        if (!loaded) {
            if constexpr (Mode == OnFailure::NotImplemented) Py_RETURN_NOTIMPLEMENTED;
            return nullptr;
        }
        if (!(consistent(std::get<I>(args)) && ...)) {
            torn = true;
            return nullptr;
        }
        if constexpr (std::is_void_v<R>) {
            (+Fn)(std::get<I>(args).get()...);
            Py_RETURN_NONE;
        } else {
            return to_py((+Fn)(std::get<I>(args).get()...));
        }
    }

    template <class P, class H>
    static bool load(H& holder, PyObject* source, std::string_view name) {
        // An operand of another class: NotImplemented without building an error to discard.
        if constexpr (Mode == OnFailure::NotImplemented && requires { typename InstanceParam<P>::Value; }) {
            if (!instance_of<typename InstanceParam<P>::Value>(source)) return false;
        }
        if (holder.load(source)) return true;
        if constexpr (Mode == OnFailure::NotImplemented) {
            PyErr_Clear();
        } else if (!name.empty()) {
            add_argument_prefix(name);
        }
        return false;
    }
};

// Calls Fn with the receiver (when the signature has $self) followed by the
// bound arguments; `name` is the function name used in binding errors.
template <Text S, auto Fn>
PyObject* call_bound(std::string_view owner, std::string_view name, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = parse_signature(S.view());
    constexpr std::size_t first = sig.self ? 1 : 0;
    static_assert(std::tuple_size_v<typename FunctionType<decltype(+Fn)>::Params> == sig.count + first,
                  "the function's parameters must match the signature");
    static_assert(sig.ordered, "optional parameters follow the required ones");
    static constexpr auto names = [] {
        std::array<std::string_view, sig.count + first + 1> n{};
        for (std::size_t i = 0; i < sig.count; ++i) n[first + i] = sig.params[i];
        return n;
    }();
    std::array<PyObject*, sig.count + first + 1> sources;
    if (sig.self) sources[0] = self;
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.count) {
        std::copy_n(args, sig.count, sources.begin() + first);
    } else if (!bind_arguments(owner, name, sig, args, nargs, kwnames, sources.data() + first)) {
        return nullptr;
    }
    for (std::size_t i = sig.required; i < sig.count; ++i)
        if (!sources[first + i] && !(sources[first + i] = default_of<S>(i))) return nullptr;
    return Call<Fn>::run(sources.data(), names.data());
}

template <class V>
struct Def {
    static constexpr std::string_view owner() {
        if constexpr (std::is_void_v<V>)
            return {};
        else
            return PyClass<V>::name;
    }

    // An instance method when the signature has $self, a static method otherwise.
    template <Text S, auto Fn>
    static PyMethodDef method() {
        static constexpr Signature sig = parse_signature(S.view());
        static constexpr auto doc = docstring<S>;
        static constexpr std::array<char, sig.name.size() + 1> name = [] {
            std::array<char, sig.name.size() + 1> n{};
            std::copy_n(sig.name.begin(), sig.name.size(), n.begin());
            return n;
        }();
        constexpr int kind = sig.self ? 0 : (std::is_void_v<V> ? 0 : METH_STATIC);
        if constexpr (sig.count == 0) {
            return {name.data(), &noargs<S, Fn>, METH_NOARGS | kind, doc.data()};
        } else {
            return {name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<S, Fn>)),
                    METH_FASTCALL | METH_KEYWORDS | kind, doc.data()};
        }
    }

    // Constructor: Fn builds the value from the converted arguments.
    template <Text S, auto Fn>
    static void constructor(ClassSpec& spec) {
        static constexpr auto doc = docstring<S>;
        spec.doc = doc.data();
        spec.new_ = &construct_new;
        spec.vectorcall = &construct_vectorcall<S, Fn>;
    }

    // Read-write property over a field of the value.
    template <auto Field>
    static PyGetSetDef field(const char* name) {
        return {name, &get_field<Field>, &set_field<Field>, nullptr, nullptr};
    }

    // Read-only property computed from the value.
    template <auto Fn>
    static PyGetSetDef getter(const char* name) {
        return {name, &get_computed<Fn>, nullptr, nullptr, nullptr};
    }

    // a OP b with both operands converted; any conversion failure gives NotImplemented.
    template <auto Fn>
    static PyObject* binary(PyObject* a, PyObject* b) {
        PyObject* sources[] = {a, b};
        return Call<Fn, OnFailure::NotImplemented>::run(sources, nullptr);
    }

    // Forward form first, then the reflected form, then NotImplemented. A left
    // operand of another class fails the forward form before anything runs,
    // so that try is skipped.
    template <auto Forward, auto Reflected>
    static PyObject* multiply(PyObject* a, PyObject* b) {
        using First = std::tuple_element_t<0, typename FunctionType<decltype(+Forward)>::Params>;
        static_assert(requires { typename InstanceParam<First>::Value; }, "the forward form takes the instance first");
        if (!instance_of<typename InstanceParam<First>::Value>(a)) return binary<Reflected>(a, b);
        PyObject* result = binary<Forward>(a, b);
        if (result != Py_NotImplemented) return result;
        Py_DECREF(result);
        return binary<Reflected>(a, b);
    }

    // Slots with the receiver as their only operand (negative, repr, iter, ...).
    template <auto Fn>
    static PyObject* unary(PyObject* self) {
        return Call<Fn>::run(&self, nullptr);
    }

    template <auto Fn>
    static Py_hash_t hash(PyObject* self) {
        QuietReader<V> arg;
        if (!arg.load(self)) return -1;
        const Py_hash_t h = Fn(arg.get());
        return h == -1 ? -2 : h;
    }

    template <auto Fn>
    static Py_ssize_t length(PyObject* self) {
        Arg<const V&> arg;
        if (!arg.load(self)) return -1;
        return static_cast<Py_ssize_t>(Fn(arg.get()));
    }

    // Subscript by an unsigned position named "index"; the legacy sequence
    // item slot goes through the same path.
    template <auto Fn>
    static PyObject* subscript(PyObject* self, PyObject* key) {
        static constexpr std::string_view names[] = {{}, "index"};
        // A small non-negative int is its position as it stands.
        using Position = std::tuple_element_t<1, typename FunctionType<decltype(+Fn)>::Params>;
        if (std::is_same_v<Position, Index> && PyLong_CheckExact(key) &&
            PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(key))) {
            const Py_ssize_t position = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(key));
            bool torn = false;
            if (position >= 0) {
                PyObject* result = at_position<Fn>(self, static_cast<Index>(position), torn);
                if (!torn) return result;
            }
        }
        PyObject* sources[] = {self, key};
        return Call<Fn>::run(sources, names);
    }

    template <auto Fn>
    static PyObject* item(PyObject* self, Py_ssize_t position) {
        PyObject* key = PyLong_FromSsize_t(position);
        if (!key) return nullptr;
        PyObject* result = subscript<Fn>(self, key);
        Py_DECREF(key);
        return result;
    }

    template <auto Fn>
    static void subscript_slots(ClassSpec& spec) {
        spec.slots.push_back({Py_mp_subscript, reinterpret_cast<void*>(&subscript<Fn>)});
        spec.slots.push_back({Py_sq_item, reinterpret_cast<void*>(&item<Fn>)});
    }

private:
    // The name used in binding errors, parsed at compile time.
    template <Text S>
    static constexpr std::string_view name_of = parse_signature(S.view()).name;

    template <Text S, auto Fn>
    static PyObject* noargs(PyObject* self, PyObject*) {
        return call_bound<S, Fn>(owner(), name_of<S>, self, nullptr, 0, nullptr);
    }

    template <Text S, auto Fn>
    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return call_bound<S, Fn>(owner(), name_of<S>, self, args, nargs, kwnames);
    }

    template <Text S, auto Fn>
    static PyObject* construct_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        return call_bound<S, Fn>(owner(), "__new__", nullptr, args, PyVectorcall_NARGS(nargsf), kwnames);
    }

    // Calls through the type's vectorcall, which turns the tuple and dict into its form.
    static PyObject* construct_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return PyVectorcall_Call(reinterpret_cast<PyObject*>(type), args, kwargs);
    }

    template <auto Field>
    static PyObject* get_field(PyObject* self, void*) {
        using T = std::remove_cvref_t<decltype(std::declval<V&>().*Field)>;
        if constexpr (AccessState::copyable<V> && std::is_same_v<T, double>) {
            // One aligned word, stored whole by the setter: its own load cannot
            // tear and needs no copy of the value. The descriptor has checked
            // the receiver's type.
            auto& field = reinterpret_cast<Instance<V>*>(self)->value.*Field;
            return PyFloat_FromDouble(std::atomic_ref<double>(field).load(std::memory_order_relaxed));
        }
        QuietReader<V> arg;
        if (!arg.load(self)) return nullptr;
        return to_py(arg.get().*Field);
    }

    template <auto Field>
    static int set_field(PyObject* self, PyObject* value, void*) {
        using T = std::remove_cvref_t<decltype(std::declval<V&>().*Field)>;
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            return -1;
        }
        T converted;
        {
            Arg<T> arg;
            if (!arg.load(value)) {
                add_argument_prefix("value");
                return -1;
            }
            converted = arg.get();
        }
        Arg<V&> receiver;
        if (!receiver.load(self)) return -1;
        if constexpr (AccessState::copyable<V>)
            AccessState::store_words(receiver.get().*Field, converted);
        else
            receiver.get().*Field = converted;
        return 0;
    }

    // Fn(receiver, position) as Call runs it once the position is converted;
    // a copy that did not hold sets torn.
    template <auto Fn>
    static PyObject* at_position(PyObject* self, Index position, bool& torn) {
        using Receiver = std::tuple_element_t<0, typename FunctionType<decltype(+Fn)>::Params>;
        using Holder = std::conditional_t<Quiet<Receiver>::known, QuietReader<V>, Arg<Receiver>>;
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            Holder receiver;
            if (!receiver.load(self)) return nullptr;
            if (!consistent(receiver)) {
                torn = true;
                return nullptr;
            }
            return to_py((+Fn)(receiver.get(), position));
        });
    }

    template <auto Fn>
    static PyObject* get_computed(PyObject* self, void*) {
        return Call<Fn>::run(&self, nullptr);
    }
};

}  // namespace quorral
