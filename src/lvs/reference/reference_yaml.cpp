/// Reading a reference netlist file: the whole file as text, parsed with PyYAML's safe loading
/// rules by the native YAML reader (quillon/yaml.hpp). Only a regular file is read: a named
/// pipe or a device given as the reference is refused, never waited on.

#include "quillon/files/file_access.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/yaml.hpp"

namespace quillon::lvs {

nb::object read_reference_yaml(nb::handle ref) {
    return yaml::safe_load(files::read_regular_text(ref), ref);
}

} // namespace quillon::lvs
