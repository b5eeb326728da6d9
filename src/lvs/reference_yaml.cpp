/// Reading a reference netlist file: the whole file as text, parsed with PyYAML's safe loading
/// rules by the native YAML reader (quillon/yaml.hpp).

#include "quillon/lvs/lvs.hpp"
#include "quillon/yaml.hpp"

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
    return yaml::safe_load(read_text(ref), ref);
}

} // namespace quillon::lvs
