/// Draining KLayout iterators into lists.

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

nb::list each(nb::handle object, const char* method) {
    nb::object items = nb::steal(PyObject_CallMethodNoArgs(object.ptr(), interned(method).ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    PyObject* list = PySequence_List(items.ptr());
    if (!list)
        throw nb::python_error();
    return nb::steal<nb::list>(list);
}

} // namespace quillon::lvs
