#pragma once
/// Small interpreter operations that both modules use, raising the pending
/// Python error as a C++ exception when they fail.

#include <nanobind/nanobind.h>

namespace quillon {
namespace nb = nanobind;

/// A new reference that the interpreter returned, or its pending error thrown.
inline nb::object checked(PyObject* result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

/// `PyUnicode_FromFormat` over Python objects (`%S` takes `str()`, `%U` a str).
template <typename... Objects> nb::str format_text(const char* format, const Objects&... objects) {
    return nb::steal<nb::str>(
        checked(PyUnicode_FromFormat(format, nb::handle(objects).ptr()...)).release());
}

/// A Python int as a C++ integer; a failed conversion raises the interpreter's error.
inline long long as_long_long(nb::handle value) {
    const long long result = PyLong_AsLongLong(value.ptr());
    if (result == -1 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

/// A Python number as a C++ double; a failed conversion raises the interpreter's error.
inline double as_double(nb::handle value) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

/// The interned string `text`, for looking up an attribute whose name is only
/// known at run time. The interpreter's attribute caches keep the last name
/// they were asked with; a fresh string each time would leave such copies
/// scattered over the heap, one more each call, where an interned name is one
/// object however often it is used.
inline nb::object interned(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return nb::steal(name);
}

/// `object.<name>`, for a name known only at run time (see `interned`).
inline nb::object attribute(nb::handle object, const char* name) {
    PyObject* value = PyObject_GetAttr(object.ptr(), interned(name).ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

/// `object.<name>` for a name the caller interned once, outside its loop.
inline nb::object get_attribute(nb::handle object, nb::handle name) {
    return checked(PyObject_GetAttr(object.ptr(), name.ptr()));
}

/// `object.<name>()` for a name the caller interned once, outside its loop.
inline nb::object call_method(nb::handle object, nb::handle name) {
    return checked(PyObject_CallMethodNoArgs(object.ptr(), name.ptr()));
}

/// Whether a value tests true, as `if value:` decides.
inline bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

/// `mapping[key]`, failing as the subscription does (a KeyError naming the key).
inline nb::object get_item(nb::handle mapping, const char* key) {
    PyObject* value = PyObject_GetItem(mapping.ptr(), nb::str(key).ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

/// `a < b`, as the interpreter compares them.
inline bool less_than(nb::handle a, nb::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

/// The interpreter's quoted form (`repr`) of a value.
inline nb::str quoted(nb::handle value) {
    PyObject* text = PyObject_Repr(value.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

/// Pauses the interpreter's cyclic garbage collector for a scope. The check
/// creates millions of short-lived wrapper objects over a large heap, and the
/// collector would otherwise rescan that heap again and again; nothing the
/// check makes needs it before the check returns. The previous state is
/// restored on every exit, exceptions included.
class CollectorPause {
  public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

  private:
    bool was_enabled_;
};

} // namespace quillon
