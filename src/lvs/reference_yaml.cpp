/// Reading a reference netlist file: the whole file as text, parsed by PyYAML's safe loader
/// (its libyaml-based variant when PyYAML was built with it: the same values, much faster).

#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

namespace {

/// The whole text of the file, read with the platform's default encoding; the file is closed
/// before this returns, also when reading fails.
nb::object read_text(nb::handle path) {
    nb::object file = nb::module_::import_("builtins").attr("open")(path);
    nb::object text;
    try {
        text = file.attr("read")();
    } catch (nb::python_error&) {
        try {
            file.attr("close")();
        } catch (nb::python_error&) {
            // The read error is the one to report.
        }
        throw;
    }
    file.attr("close")();
    return text;
}

} // namespace

nb::object read_reference_yaml(nb::handle ref) {
    const Dependencies& d = deps();
    nb::object text = read_text(ref);
    return d.yaml.attr("load")(text, nb::arg("Loader") = d.yaml_safe_loader);
}

} // namespace quillon::lvs
