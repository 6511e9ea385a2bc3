#include "binding/errors.hpp"

#include <cstdio>
#include <new>

#include "binding/access.hpp"
#include "binding/once.hpp"
#include "panic.hpp"

namespace quorral {

namespace {

OnceCell<PyObject> panic_type;

constexpr const char* PANIC_DOC =
    "Raised when native code called from Python fails.\n\n"
    "Like SystemExit, it derives from BaseException, so that it normally\n"
    "propagates to the top and ends the program.";

}  // namespace

PyObject* panic_exception_type() {
    return panic_type.get([] {
        return PyErr_NewExceptionWithDoc("quorral.PanicException", PANIC_DOC, PyExc_BaseException, nullptr);
    });
}

std::nullptr_t raise_panic(const char* message) {
    if (PyObject* type = panic_exception_type()) {
        if (PyObject* text = PyUnicode_FromString(message)) {
            PyErr_SetObject(type, text);
            Py_DECREF(text);
        }
    }
    return nullptr;
}

std::nullptr_t raise_read_refused() {
    PyErr_SetString(PyExc_RuntimeError, READ_REFUSED);
    return nullptr;
}

std::nullptr_t raise_write_refused() {
    PyErr_SetString(PyExc_RuntimeError, WRITE_REFUSED);
    return nullptr;
}

std::nullptr_t raise_not_instance(PyObject* obj, const char* target) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return nullptr;
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (!qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, target);
    Py_DECREF(qualname);
    return nullptr;
}

void add_argument_prefix(std::string_view name) {
    PyObject* err = PyErr_GetRaisedException();
    if (!err) return;
    if (Py_TYPE(err) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(err);
        return;
    }
    PyObject* text = PyObject_Str(err);
    PyObject* message = text ? PyUnicode_FromFormat("argument '%s': %U", std::string(name).c_str(), text) : nullptr;
    PyObject* wrapped = message ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
    if (wrapped) {
        PyException_SetCause(wrapped, PyException_GetCause(err));
        PyErr_SetRaisedException(wrapped);
    }
    Py_XDECREF(message);
    Py_XDECREF(text);
    Py_DECREF(err);
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const galdrin::Panic& p) {
        raise_panic(p.what());  // the diagnostic was written where it was raised
    } catch (const OutOfBounds& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const InvalidValue& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorral: internal failure: %s\n", e.what());
        raise_panic(e.what());
    } catch (...) {
        std::fprintf(stderr, "quorral: internal failure of unknown kind\n");
        raise_panic("native code failed with a non-text failure");
    }
}

}  // namespace quorral
