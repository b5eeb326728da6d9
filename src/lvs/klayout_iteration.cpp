/// Draining KLayout iterators into lists.

#include "quillon/lvs/extraction.hpp"

namespace quillon::lvs {

nb::list each(nb::handle object, const char* method) {
    nb::object items = object.attr(method)();
    PyObject* list = PySequence_List(items.ptr());
    if (!list)
        throw nb::python_error();
    return nb::steal<nb::list>(list);
}

} // namespace quillon::lvs
