#pragma once
/// Shared pieces of the component routes (ports, settings, routing strategies,
/// symbols).

#include "quillon/schematic/text_files.hpp"

#include <nanobind/nanobind.h>

#include <string>

namespace quillon::schematic {
namespace nb = nanobind;

/// Remembers the service module so that handlers can read its host values.
/// The module lives in `sys.modules` for the life of the process.
void keep_service_module(nb::module_& module);

/// A module-level value of the service (`PDK`, `PROJECT_DIR`, `SETTINGS`),
/// read on every call like a global of a Python module, so that a value
/// replaced on the module takes effect on the next request.
nb::object host_value(const char* name);

/// The kit named by the host's `PDK`, activated (it stays the active kit).
nb::object activate_host_pdk();

/// `os.path.<name>`.
nb::object os_path(const char* name);

/// The first line of an error's text, for a one-line answer.
std::string first_line(const nb::python_error& error);

/// Whether a pending Python error is an ordinary one (an `Exception`), which
/// the guarded steps of the handlers catch; interrupts and exits are not.
bool is_ordinary(const nb::python_error& error);

/// `item in container`, as the interpreter tests it.
bool contains(nb::handle container, nb::handle item);

/// Whether `value` is a text naming an entry of the kit's mapping `which`
/// ("cells" or "cross_sections").
bool names_kit_entry(nb::handle pdk, const char* which, nb::handle value);

/// Parameter name -> type description of a cell or routing function.
nb::dict allowed_instance_settings(nb::handle pcell);

} // namespace quillon::schematic
