// Raising the module's errors, and the boundary that turns C++ failures into
// Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace quorral {

PyObject* panic_exception_type();

// Raises PanicException(message); always returns nullptr.
std::nullptr_t raise_panic(const char* message);

std::nullptr_t raise_read_refused();
std::nullptr_t raise_write_refused();

// "'<qualname of obj's type>' object is not an instance of '<target>'", or the 'None' form.
std::nullptr_t raise_not_instance(PyObject* obj, const char* target);

// A pending exception of exactly TypeError is replaced by one whose message
// carries "argument '<name>': " and whose cause is the original's cause.
void add_argument_prefix(std::string_view name);

// Thrown by a binding for a position past the end: IndexError "Index out of bounds".
struct OutOfBounds : std::exception {
    const char* what() const noexcept override { return "Index out of bounds"; }
};

// Thrown by a binding for an argument value it refuses: ValueError with the message.
struct InvalidValue : std::exception {
    std::string message;
    explicit InvalidValue(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
};

// Maps the exception being handled (inside a catch block) to a Python error.
void raise_current_exception() noexcept;

template <class R, class F>
R guarded(R failure, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

}  // namespace quorral
