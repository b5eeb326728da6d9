#pragma once
/// Raising the interpreter's built-in errors from C++.

#include <nanobind/nanobind.h>

namespace quillon {
namespace nb = nanobind;

/// Sets `type(message)` as the pending Python error and unwinds to nanobind,
/// which hands it to the caller unchanged.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

/// KeyError carrying the key itself, as a failed mapping lookup does.
[[noreturn]] inline void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

/// AssertionError without a message, as a bare `assert` raises.
[[noreturn]] inline void raise_assertion_error() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

} // namespace quillon
