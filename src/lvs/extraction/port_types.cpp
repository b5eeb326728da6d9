#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

bool is_electrical_port_type(nb::handle port_type) {
    for (const char* kind : {"electrical", "DC", "RF"}) {
        const int equal = PyObject_RichCompareBool(port_type.ptr(), nb::str(kind).ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal)
            return true;
    }
    return false;
}

} // namespace quillon::lvs
