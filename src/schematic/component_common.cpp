/// Host values, file reading and error classification shared by the
/// component routes.

#include "quillon/py.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/schematic.hpp"

#include <nanobind/stl/string.h>

namespace quillon::schematic {

namespace {

/// Borrowed: the module is kept alive by `sys.modules` (plain handle, no
/// destructor at exit).
nb::handle service_module;

} // namespace

void keep_service_module(nb::module_& module) {
    service_module = module;
}

nb::object host_value(const char* name) {
    return attribute(service_module, name);
}

nb::object activate_host_pdk() {
    return deps().activate_pdk_by_name(host_value("PDK"));
}

nb::object os_path(const char* name) {
    return attribute(deps().os.attr("path"), name);
}

std::string first_line(const nb::python_error& error) {
    std::string text = nb::cast<std::string>(nb::str(error.value()));
    const size_t end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

bool is_ordinary(const nb::python_error& error) {
    return error.matches(PyExc_Exception);
}

bool contains(nb::handle container, nb::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

bool names_kit_entry(nb::handle pdk, const char* which, nb::handle value) {
    return PyUnicode_Check(value.ptr()) && contains(pdk.attr(which), value);
}

} // namespace quillon::schematic
